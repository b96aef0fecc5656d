#include <QCoreApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>

#include "app/FileReport.h"
#include "fits/FITSData.h"
#include "fits/Stretch.h"
#include "fits/gslhelpers/GslErrors.h"

namespace {

const char* const kUsage =
    "Usage: pelorum-info FILE... [--json] [--stretch OUT.png] [--convert OUT]\n"
    "Describes image files as the FITS data model reads them: format, size, sample type, Bayer\n"
    "pattern, per-channel statistics and header records.\n"
    "  --json           one JSON array with an object per file\n"
    "  --stretch OUT    write the automatic screen stretch of the (single) file as a PNG\n"
    "  --convert OUT    save the (single) file again, format from OUT's suffix (FITS, XISF, JPEG, PNG)\n";

struct Arguments {
    QStringList files;
    bool json = false;
    QString stretch;
    QString convert;
};

bool parse(const QStringList& args, Arguments& parsed)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == "--json") {
            parsed.json = true;
        } else if ((arg == "--stretch" || arg == "--convert") && i + 1 < args.size()) {
            (arg == "--stretch" ? parsed.stretch : parsed.convert) = args[++i];
        } else if (arg.startsWith("--")) {
            return false;
        } else {
            parsed.files.append(arg);
        }
    }
    const bool single = parsed.stretch.isEmpty() && parsed.convert.isEmpty();
    return !parsed.files.isEmpty() && (single || parsed.files.size() == 1);
}

void printError(const QString& message) { std::fprintf(stderr, "pelorum-info: %s\n", qPrintable(message)); }

// Writes the stretch and the conversion of the one file; false after a failure, reported.
bool writeOutputs(const Arguments& args)
{
    FITSData data;
    if (!data.loadFromFile(args.files.first()).result())
        return false;
    bool written = true;
    if (!args.stretch.isEmpty()) {
        const FITSImage::Statistic& s = data.getStatistics();
        const QImage image = stretchedImage(data.getImageBuffer(), s.width, s.height, s.channels, int(s.dataType));
        QSaveFile file(args.stretch);
        if (image.isNull() || !file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit()) {
            printError("Could not write the stretched image " + args.stretch);
            written = false;
        }
    }
    if (!args.convert.isEmpty() && !data.saveAs(args.convert)) {
        printError(data.lastError());
        written = false;
    }
    return written;
}

} // namespace

int main(int argc, char** argv)
{
    Mathematics::GSLHelpers::switchOffGslAbort();
    QCoreApplication application(argc, argv);
    Arguments args;
    const QStringList given = application.arguments();
    if (given.contains("-h") || given.contains("--help")) {
        std::printf("%s", kUsage);
        return 0;
    }
    if (!parse(given, args)) {
        std::fprintf(stderr, "%s", kUsage);
        return 1;
    }
    bool allRead = true;
    QJsonArray reports;
    for (const QString& file : args.files) {
        const QJsonObject report = describeImageFile(file);
        if (report.contains("error")) {
            printError(report["error"].toString());
            allRead = false;
        }
        if (args.json)
            reports.append(report);
        else
            std::printf("%s", qPrintable(describeAsText(report)));
    }
    if (args.json)
        std::printf("%s", QJsonDocument(reports).toJson(QJsonDocument::Indented).constData());
    if (allRead && (!args.stretch.isEmpty() || !args.convert.isEmpty()))
        allRead = writeOutputs(args);
    return allRead ? 0 : 1;
}

#include "app/FrameRecord.h"

#include <fcntl.h>

#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "app/FileDescriptor.h"
#include "core/Timer.h"
#include "stacking/Stacker.h"

namespace {

// The steps a record times, named as their Timers are (and as -v -k shows them).
const char* const timedSteps[] = {"Read state", "Read frame", "alignFrame", "Write output", "Write state"};

// To the microsecond: finer digits are noise.
double roundedMilliseconds(double milliseconds) { return std::round(milliseconds * 1000.0) / 1000.0; }

// The double whose shortest text is the float's, so 0.9f is written 0.9
// rather than 0.8999999761581421.
double shortestDouble(float value)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text - 1, value).ptr;
    *end = '\0';
    return std::strtod(text, nullptr);
}

QJsonValue qualityJson(float quality)
{
    return std::isfinite(quality) ? QJsonValue(shortestDouble(quality)) : QJsonValue(QJsonValue::Null);
}

QJsonValue transformJson(const cv::Mat& transform)
{
    if (transform.empty())
        return QJsonValue::Null;
    cv::Mat values;
    transform.convertTo(values, CV_64F);
    QJsonArray rows;
    for (int r = 0; r < values.rows; ++r) {
        QJsonArray row;
        for (int c = 0; c < values.cols; ++c)
            row.append(values.at<double>(r, c));
        rows.append(row);
    }
    return rows;
}

QJsonObject millisecondsJson(const std::vector<std::pair<std::string, double>>& milliseconds)
{
    QJsonObject steps;
    for (const auto& [step, value] : milliseconds)
        steps.insert(QString::fromStdString(step), value);
    return steps;
}

}  // namespace

StepClock StepClock::now()
{
    StepClock clock;
    for (const char* step : timedSteps)
        clock.totals[step] = timedMilliseconds(step);
    clock.milliseconds = millisecondsSinceStart();
    return clock;
}

FrameRecord frameRecordOf(const std::string& framePath, const Stacker& stacker, const std::string& failure,
                          std::optional<int> frames, const StepClock& since)
{
    FrameRecord record;
    record.time = QDateTime::currentDateTimeUtc();
    record.framePath = framePath;
    record.accepted = failure.empty() && stacker.lastFrameAccepted();
    record.reason = failure.empty() ? stacker.lastRejectionReason() : failure;
    record.quality = stacker.lastFrameQuality();
    record.registration = stacker.lastRegistration();
    record.frames = frames;
    for (const char* step : timedSteps) {
        const auto before = since.totals.find(step);
        const double start = before == since.totals.end() ? 0.0 : before->second;
        record.milliseconds.emplace_back(step, roundedMilliseconds(timedMilliseconds(step) - start));
    }
    record.milliseconds.emplace_back("Total", roundedMilliseconds(millisecondsSinceStart() - since.milliseconds));
    return record;
}

QJsonObject toJson(const FrameRecord& record)
{
    const RegistrationReport& registration = record.registration;
    QJsonObject json;
    json.insert("time", record.time.toUTC().toString(Qt::ISODateWithMs));
    json.insert("frame", QString::fromStdString(record.framePath));
    json.insert("accepted", record.accepted);
    json.insert("reason", record.accepted ? QJsonValue(QJsonValue::Null)
                                          : QJsonValue(QString::fromStdString(record.reason)));
    json.insert("quality", qualityJson(record.quality));
    json.insert("stars", QJsonObject{{"frame", registration.frameStars}, {"reference", registration.referenceStars}});
    json.insert("pairs", QJsonObject{{"matched", registration.matchedPairs}, {"inliers", registration.inlierPairs}});
    json.insert("rms", registration.residualRms);
    json.insert("transform", transformJson(registration.transform));
    json.insert("frames", record.frames ? QJsonValue(*record.frames) : QJsonValue(QJsonValue::Null));
    json.insert("ms", millisecondsJson(record.milliseconds));
    return json;
}

void appendJsonLine(const std::string& path, const QJsonObject& object)
{
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    const FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (!file.isOpen())
        throw std::runtime_error("Could not open the frame record " + path + ": " + std::strerror(errno));
    const ssize_t written = ::write(file.get(), line.constData(), std::size_t(line.size()));
    if (written < 0)
        throw std::runtime_error("Could not append to the frame record " + path + ": " + std::strerror(errno));
    if (written != line.size())
        throw std::runtime_error("Could not append to the frame record " + path + ": the line was cut short");
}

std::map<std::string, int> recordedFrames(const std::string& path)
{
    std::map<std::string, int> frames;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const QJsonObject record = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        const QJsonValue frame = record.value("frame");
        const QJsonValue count = record.value("frames");
        if (frame.isString() && count.isDouble())
            frames[frame.toString().toStdString()] = count.toInt();
    }
    return frames;
}

#include "app/FileReport.h"

#include <cmath>

#include <QJsonArray>
#include <QTextStream>

#include "fits/FITSData.h"

namespace {

QString dataTypeName(uint32_t dataType)
{
    switch (dataType) {
    case TBYTE: return "TBYTE";
    case TSHORT: return "TSHORT";
    case TUSHORT: return "TUSHORT";
    case TLONG: return "TLONG";
    case TULONG: return "TULONG";
    case TFLOAT: return "TFLOAT";
    case TLONGLONG: return "TLONGLONG";
    case TDOUBLE: return "TDOUBLE";
    default: return "unknown";
    }
}

QString bayerName(const FITSData& data)
{
    static const char* const patterns[] = {"RGGB", "GBRG", "GRBG", "BGGR"};
    const uint32_t filter = data.getBayerParams().filter;
    return data.hasDebayer() && filter >= 512 && filter <= 515 ? patterns[filter - 512] : QString();
}

// JSON has no NaN or infinity; such a number is null.
QJsonValue number(double value) { return std::isfinite(value) ? QJsonValue(value) : QJsonValue(); }

QJsonArray perChannel(const double (&values)[3], int channels)
{
    QJsonArray array;
    for (int c = 0; c < channels && c < 3; ++c)
        array.append(number(values[c]));
    return array;
}

QJsonValue recordValue(const QVariant& value)
{
    if (value.type() == QVariant::Int || value.type() == QVariant::Double)
        return number(value.toDouble());
    return value.isValid() ? QJsonValue(value.toString()) : QJsonValue();
}

QJsonObject statistics(const FITSImage::Statistic& stats)
{
    return {{"min", perChannel(stats.min, stats.channels)},
            {"max", perChannel(stats.max, stats.channels)},
            {"mean", perChannel(stats.mean, stats.channels)},
            {"median", perChannel(stats.median, stats.channels)},
            {"stddev", perChannel(stats.stddev, stats.channels)},
            {"snr", number(stats.SNR)}};
}

QString numberText(const QJsonValue& value)
{
    return value.isNull() ? QString("nan") : QString::number(value.toDouble(), 'g', 10);
}

} // namespace

QJsonObject describeImageFile(const QString& path)
{
    FITSData data;
    if (!data.loadFromFile(path).result())
        return {{"file", path}, {"error", data.lastError().isEmpty() ? "Could not read " + path : data.lastError()}};
    const FITSImage::Statistic& stats = data.getStatistics();
    QJsonArray records;
    for (const FITSData::Record& record : data.getRecords())
        records.append(QJsonObject{{"key", record.key}, {"value", recordValue(record.value)}, {"comment", record.comment}});
    const QString bayer = bayerName(data);
    return {{"file", path},
            {"format", FITSData::fileFormat(path)},
            {"width", int(stats.width)},
            {"height", int(stats.height)},
            {"channels", int(stats.channels)},
            {"dataType", dataTypeName(stats.dataType)},
            {"bitpix", data.bitpix()},
            {"bayer", bayer.isEmpty() ? QJsonValue() : QJsonValue(bayer)},
            {"stats", statistics(stats)},
            {"records", records}};
}

QString describeAsText(const QJsonObject& report)
{
    QString text;
    QTextStream out(&text);
    out << report["file"].toString() << "\n";
    if (report.contains("error")) {
        out << "  error: " << report["error"].toString() << "\n";
        return text;
    }
    out << "  format " << report["format"].toString() << ", " << report["width"].toInt() << " x "
        << report["height"].toInt() << " x " << report["channels"].toInt() << ", " << report["dataType"].toString()
        << " (bitpix " << report["bitpix"].toInt() << ")";
    if (!report["bayer"].isNull())
        out << ", Bayer " << report["bayer"].toString();
    out << "\n";
    const QJsonObject stats = report["stats"].toObject();
    for (int c = 0; c < report["channels"].toInt(); ++c) {
        out << "  channel " << c << ":";
        for (const char* name : {"min", "max", "mean", "median", "stddev"})
            out << " " << name << " " << numberText(stats[name].toArray().at(c));
        out << "\n";
    }
    out << "  SNR " << numberText(stats["snr"]) << "\n";
    for (const QJsonValue& value : report["records"].toArray()) {
        const QJsonObject record = value.toObject();
        out << "  " << record["key"].toString().leftJustified(8);
        if (!record["value"].isNull())
            out << " = " << (record["value"].isDouble() ? numberText(record["value"]) : record["value"].toString());
        if (!record["comment"].toString().isEmpty())
            out << (record["value"].isNull() ? " " : " / ") << record["comment"].toString();
        out << "\n";
    }
    return text;
}

#include "stacking/CameraFrame.h"

#include <stdexcept>

#include <QString>
#include <QVariant>

#include "fits/FITSData.h"
#include "fits/SampleTypes.h"
#include "image/ImageFile.h"
#include "image/JpegFile.h"

namespace {

void requireGreyOrColour(const FloatImage& image, const std::string& path)
{
    // Every later step views a frame as grey or colour; anything else (a CMYK
    // JPEG) would be misread.
    if (image.channels() != 1 && image.channels() != 3)
        throw std::runtime_error("Unsupported channel count in " + path + ": expected 1 or 3, found " +
                                 std::to_string(image.channels()));
}

// The loader's planes, of its sample type, as interleaved floats.
FloatImagePtr interleavedFloats(FITSData& data)
{
    const FITSImage::Statistic& stats = data.getStatistics();
    auto image = std::make_shared<FloatImage>(stats.width, stats.height, stats.channels);
    const std::size_t pixels = stats.samples_per_channel;
    const std::size_t channels = stats.channels;
    const uint8_t* buffer = data.getImageBuffer();
    float* out = image->data();
    forDataType(int(stats.dataType), [&](auto sample) {
        const auto* planes = reinterpret_cast<const decltype(sample)*>(buffer);
        for (std::size_t c = 0; c < channels; ++c)
            for (std::size_t i = 0; i < pixels; ++i)
                out[i * channels + c] = float(planes[c * pixels + i]);
    });
    return image;
}

QVariant recordValue(const FITSData& data, const char* key)
{
    QVariant value;
    data.getRecordValue(key, value);
    return value;
}

std::optional<BayerLayout> bayerLayout(const FITSData& data, int height)
{
    const QVariant pattern = recordValue(data, "BAYERPAT");
    if (!pattern.isValid())
        return std::nullopt;
    const bool bottomUp = recordValue(data, "ROWORDER").toString().trimmed() == "BOTTOM-UP";
    return bayerLayoutOf(pattern.toString().trimmed().toUpper().toStdString(),
                         recordValue(data, "XBAYROFF").toInt(), recordValue(data, "YBAYROFF").toInt(), bottomUp,
                         height);
}

FrameHeader headerOf(const FITSData& data)
{
    FrameHeader header;
    bool isNumber = false;
    const double exposure = recordValue(data, "EXPTIME").toDouble(&isNumber);
    if (isNumber)
        header.exposure = exposure;
    for (const char* key : kKeptHeaderTexts) {
        const QVariant value = recordValue(data, key);
        if (value.isValid())
            header.texts[key] = value.toString().trimmed().toStdString();
    }
    return header;
}

CameraFrame readThroughDataModel(const std::string& path)
{
    const QString name = QString::fromStdString(path);
    if (!FITSData::isSupportedFile(name))
        throw std::runtime_error("Unsupported file format: " + fileExtension(path));
    FITSData data;
    data.setDebayerOnLoad(false);
    if (!data.loadFromBuffer(QByteArray(), name))
        throw std::runtime_error(data.lastError().toStdString());
    CameraFrame frame;
    frame.pixels = interleavedFloats(data);
    if (frame.pixels->channels() == 1 && frame.pixels->width() >= 2 && frame.pixels->height() >= 2)
        frame.bayer = bayerLayout(data, frame.pixels->height());
    frame.linear = data.getStatistics().dataType != TBYTE || frame.bayer || FITSData::fileFormat(name) == "raw";
    frame.header = headerOf(data);
    return frame;
}

}  // namespace

CameraFrame readCameraFrame(const std::string& path)
{
    const std::string extension = fileExtension(path);
    CameraFrame frame;
    if (extension == "jpg" || extension == "jpeg")
        frame.pixels = toFloat(*readJpeg(path));
    else
        frame = readThroughDataModel(path);
    requireGreyOrColour(*frame.pixels, path);
    return frame;
}

std::string kindName(bool linear) { return linear ? "linear" : "8-bit"; }

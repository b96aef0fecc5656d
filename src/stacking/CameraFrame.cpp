#include "stacking/CameraFrame.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include <QString>
#include <QVariant>

#include "core/Logger.h"
#include "fits/FITSData.h"
#include "fits/SampleTypes.h"
#include "image/ImageFile.h"
#include "image/JpegFile.h"

namespace {

void requireGreyOrColour(int channels, const std::string& path)
{
    // Every later step views a frame as grey or colour; anything else (a CMYK
    // JPEG) would be misread.
    if (channels != 1 && channels != 3)
        throw std::runtime_error("Unsupported channel count in " + path + ": expected 1 or 3, found " +
                                 std::to_string(channels));
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

float finiteMedian(std::vector<float>& values)
{
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// A float frame may mark pixels without data as NaN. One such sample would
// make its pixel of the stack NaN for good, so each is replaced by the median
// of its channel; a frame without a single finite sample holds no picture.
void replaceNonFiniteSamples(FloatImage& image, const std::string& path)
{
    float* samples = image.data();
    if (std::all_of(samples, samples + image.size(), [](float sample) { return std::isfinite(sample); }))
        return;
    const std::size_t channels = std::size_t(image.channels());
    std::size_t replaced = 0;
    for (std::size_t c = 0; c < channels; ++c) {
        std::vector<float> finite;
        finite.reserve(image.size() / channels);
        for (std::size_t i = c; i < image.size(); i += channels)
            if (std::isfinite(samples[i]))
                finite.push_back(samples[i]);
        if (finite.size() == image.size() / channels)
            continue;
        if (finite.empty())
            throw std::runtime_error("Frame " + path + " holds no finite samples");
        const float median = finiteMedian(finite);
        for (std::size_t i = c; i < image.size(); i += channels)
            if (!std::isfinite(samples[i])) {
                samples[i] = median;
                replaced += 1;
            }
    }
    if (replaced > 0)
        logWarn("Frame " + path + " holds " + std::to_string(replaced) +
                " samples that are not finite numbers; each was replaced by its channel's median");
}

}  // namespace

CameraFrame readCameraFrame(const std::string& path)
{
    const std::string extension = fileExtension(path);
    CameraFrame frame;
    if (extension == "jpg" || extension == "jpeg") {
        frame.bytes = readJpeg(path);
        requireGreyOrColour(frame.bytes->channels(), path);
        return frame;
    }
    frame = readThroughDataModel(path);
    requireGreyOrColour(frame.pixels->channels(), path);
    // Only a float file can hold them; the scan costs a few milliseconds.
    if (frame.linear)
        replaceNonFiniteSamples(*frame.pixels, path);
    return frame;
}

FloatImage& floatPixels(CameraFrame& frame)
{
    if (!frame.pixels) {
        frame.pixels = toFloat(*frame.bytes);
        frame.bytes.reset();
    }
    return *frame.pixels;
}

ByteImagePtr eightBitPixels(const CameraFrame& frame) { return frame.bytes ? frame.bytes : toEightBit(*frame.pixels); }

std::string kindName(bool linear) { return linear ? "linear" : "8-bit"; }

// Writes the seed inputs of every fuzz target under FOLDER/<target>/: small
// valid files made by the project's own writers, and by CFITSIO for what they
// do not write (16-bit data, a Bayer mosaic, tile compression). The fuzzer
// starts from them, so its first mutations already reach the decoders.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <QBuffer>
#include <QColor>
#include <QImage>
#include <QImageWriter>

#include <fitsio.h>

#include "FuzzFiles.h"
#include "fits/XisfFile.h"
#include "image/FitsFile.h"
#include "image/JpegFile.h"
#include "stacking/RunningMean.h"
#include "stacking/StackRecord.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 16;
constexpr int kHeight = 12;

// The same seeds on every build.
std::mt19937& randomSamples()
{
    static std::mt19937 generator(20240601);
    return generator;
}

template <typename T>
std::shared_ptr<ImageBuffer<T>> noiseImage(int channels, float top)
{
    auto image = std::make_shared<ImageBuffer<T>>(kWidth, kHeight, channels);
    std::uniform_real_distribution<float> sample(0.0f, top);
    for (std::size_t i = 0; i < image->size(); ++i)
        image->data()[i] = T(sample(randomSamples()));
    return image;
}

// A camera's sky: a pedestal with a little noise. HCOMPRESS cannot store tiles
// of full-range noise (its output would outgrow the input).
std::vector<std::uint16_t> sixteenBitSamples(int count)
{
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(count));
    std::uniform_int_distribution<int> sample(1000, 1200);
    for (std::uint16_t& s : samples)
        s = std::uint16_t(sample(randomSamples()));
    return samples;
}

QByteArray fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("Could not read the seed file " + path);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return QByteArray(bytes.data(), int(bytes.size()));
}

// The bytes a path-based writer leaves in a scratch file.
QByteArray writtenBy(const std::function<void(const std::string&)>& write, const std::string& name)
{
    static const PrivateDirectory scratch;
    const std::string path = scratch.file(name);
    write(path);
    const QByteArray bytes = fileBytes(path);
    std::remove(path.c_str());
    return bytes;
}

// The seed folders of all targets, each written once.
class SeedFolders {
public:
    explicit SeedFolders(fs::path root) : root_(std::move(root)) {}

    void add(const std::string& target, const std::string& name, const QByteArray& bytes) const
    {
        const fs::path folder = root_ / target;
        fs::create_directories(folder);
        const std::string path = (folder / name).string();
        writeBytes(path, reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
    }

    // For the targets whose first byte picks a suffix or a kind of file.
    void addPicked(const std::string& target, const std::string& name, char pick, const QByteArray& bytes) const
    {
        add(target, name, QByteArray(1, pick) + bytes);
    }

private:
    fs::path root_;
};

// --- FITS written by CFITSIO directly ---

struct FitsCloser {
    void operator()(fitsfile* file) const
    {
        int status = 0;
        fits_close_file(file, &status);
    }
};
using FitsHandle = std::unique_ptr<fitsfile, FitsCloser>;

void requireFitsSuccess(int status, const std::string& what, const std::string& path)
{
    if (status == 0)
        return;
    char reason[FLEN_STATUS] = "";
    fits_get_errstatus(status, reason);
    throw std::runtime_error(what + ": " + path + " (" + reason + ")");
}

FitsHandle createFits(const std::string& path)
{
    fitsfile* file = nullptr;
    int status = 0;
    fits_create_diskfile(&file, path.c_str(), &status);
    requireFitsSuccess(status, "Could not create the seed FITS file", path);
    return FitsHandle(file);
}

// Unsigned 16-bit data (BITPIX 16 with BZERO 32768), as cameras write it,
// with the given text keywords and an exposure.
void writeSixteenBitFits(const std::string& path, int channels,
                         const std::vector<std::pair<std::string, std::string>>& texts)
{
    const FitsHandle file = createFits(path);
    long axes[3] = {kWidth, kHeight, channels};
    std::vector<std::uint16_t> samples = sixteenBitSamples(kWidth * kHeight * channels);
    double exposure = 30.0;
    int status = 0;
    fits_create_img(file.get(), USHORT_IMG, channels == 1 ? 2 : 3, axes, &status);
    fits_update_key(file.get(), TDOUBLE, "EXPTIME", &exposure, "seconds", &status);
    for (const auto& [key, value] : texts)
        fits_update_key_str(file.get(), key.c_str(), value.c_str(), nullptr, &status);
    fits_write_img(file.get(), TUSHORT, 1, LONGLONG(samples.size()), samples.data(), &status);
    requireFitsSuccess(status, "Could not write the seed FITS file", path);
}

// fpack's tile compression of the file's image, by CFITSIO as fpack does it.
void compressFits(const std::string& from, const std::string& to, int compression)
{
    fitsfile* opened = nullptr;
    int status = 0;
    fits_open_diskfile(&opened, from.c_str(), READONLY, &status);
    requireFitsSuccess(status, "Could not open the seed FITS file", from);
    const FitsHandle in(opened);
    const FitsHandle out = createFits(to);
    // Two tiles of half the rows: more than one, and HCOMPRESS needs at least 4 x 4.
    long tile[2] = {kWidth, kHeight / 2};
    fits_set_compression_type(out.get(), compression, &status);
    fits_set_tile_dim(out.get(), 2, tile, &status);
    fits_img_compress(in.get(), out.get(), &status);
    requireFitsSuccess(status, "Could not compress the seed FITS file", to);
}

QByteArray sixteenBitFits(int channels, const std::vector<std::pair<std::string, std::string>>& texts = {})
{
    return writtenBy([&](const std::string& path) { writeSixteenBitFits(path, channels, texts); }, "16.fits");
}

QByteArray compressedFits(int compression, const std::function<void(const std::string&)>& write)
{
    return writtenBy(
        [&](const std::string& path) {
            const std::string plain = path + ".plain.fits";
            write(plain);
            compressFits(plain, path, compression);
            std::remove(plain.c_str());
        },
        "compressed.fits.fz");
}

QByteArray mosaicFits()
{
    return sixteenBitFits(1, {{"BAYERPAT", "RGGB"}, {"ROWORDER", "TOP-DOWN"}, {"DATE-OBS", "2024-03-01T21:14:05.123"},
                              {"OBJECT", "M 42"}});
}

QByteArray byteFits(int channels)
{
    const ByteImagePtr image = noiseImage<unsigned char>(channels, 255.0f);
    return writtenBy([&](const std::string& path) { writeFits(path, image); }, "8.fits");
}

QByteArray floatFits(int channels)
{
    const FloatImagePtr image = noiseImage<float>(channels, 4000.0f);
    return writtenBy([&](const std::string& path) { writeFits(path, image); }, "float.fits");
}

// A linear state with its header and every plane, as a sigma-clipping stack saves it.
QByteArray fullState()
{
    const FloatImagePtr mean = noiseImage<float>(3, 4000.0f);
    const FloatImagePtr weight = noiseImage<float>(1, 5.0f);
    const FloatImagePtr m2 = noiseImage<float>(3, 90000.0f);
    const FloatImagePtr m2Count = noiseImage<float>(1, 5.0f);
    const StackRecord record{true, 150.0, {{"DATE-OBS", "2024-03-01T21:14:05"}, {"OBJECT", "M 42"}}};
    return writtenBy(
        [&](const std::string& path) {
            writeFits(path, mean, stackKeywords(record, 5),
                      {{kWeightExtension, weight}, {kM2Extension, m2}, {kM2CountExtension, m2Count}});
        },
        "state.fits");
}

// An 8-bit state from before stacks had kinds: no STACKTYP, only the weights.
QByteArray olderState()
{
    const FloatImagePtr mean = noiseImage<float>(1, 255.0f);
    const FloatImagePtr weight = noiseImage<float>(1, 3.0f);
    return writtenBy([&](const std::string& path) { writeFits(path, mean, {}, {{kWeightExtension, weight}}); },
                     "older.fits");
}

QByteArray jpeg(int channels, const std::string& comment = {})
{
    const ByteImagePtr image = noiseImage<unsigned char>(channels, 255.0f);
    return writtenBy([&](const std::string& path) { writeJpeg(path, image, comment); }, "frame.jpg");
}

// --- XISF ---

QByteArray xisf(int channels, XisfSampleFormat format, float top)
{
    XisfImage image;
    image.width = kWidth;
    image.height = kHeight;
    image.channels = channels;
    image.sampleFormat = format;
    image.rgb = channels == 3;
    image.keywords = {{"OBJECT", "'M 42'", "target"}, {"EXPTIME", "30.", "seconds"},
                      {"DATE-OBS", "'2024-03-01T21:14:05.123'", ""}};
    const int bytes = xisfBytesPerSample(format);
    image.pixels.resize(kWidth * kHeight * channels * bytes);
    std::uniform_real_distribution<float> sample(0.0f, top);
    for (int i = 0; i < kWidth * kHeight * channels; ++i) {
        const float value = sample(randomSamples());
        const std::uint32_t whole = std::uint32_t(value);
        if (format == XisfSampleFormat::Float32)
            std::memcpy(image.pixels.data() + i * bytes, &value, 4);
        else
            std::memcpy(image.pixels.data() + i * bytes, &whole, std::size_t(bytes));
    }
    return encodeXisf(image);
}

// A monolithic file around the given header, its data block (if any) at
// byte 4096, for the layouts the project's writer does not produce.
QByteArray handMadeXisf(const QByteArray& imageElement, const QByteArray& block = {})
{
    const QByteArray header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                              "<xisf version=\"1.0\" xmlns=\"http://www.pixinsight.com/xisf\">" +
                              imageElement + "</xisf>";
    QByteArray file("XISF0100", 8);
    const std::uint32_t length = std::uint32_t(header.size());
    file.append(reinterpret_cast<const char*>(&length), 4);
    file.append(4, '\0');
    file += header;
    if (!block.isEmpty()) {
        file.append(4096 - file.size(), '\0');
        file += block;
    }
    return file;
}

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, '\0');
    std::uniform_int_distribution<int> byte(0, 255);
    for (char& b : bytes)
        b = char(byte(randomSamples()));
    return bytes;
}

QByteArray geometryAttributes(int channels, const char* format)
{
    return QByteArray("geometry=\"") + QByteArray::number(kWidth) + ':' + QByteArray::number(kHeight) + ':' +
           QByteArray::number(channels) + "\" sampleFormat=\"" + format + '"';
}

void addXisfSeeds(const SeedFolders& seeds)
{
    const char* target = "fuzz_xisf";
    seeds.add(target, "grey8.xisf", xisf(1, XisfSampleFormat::UInt8, 255.0f));
    seeds.add(target, "rgb16.xisf", xisf(3, XisfSampleFormat::UInt16, 65535.0f));
    seeds.add(target, "grey32.xisf", xisf(1, XisfSampleFormat::UInt32, 4e9f));
    seeds.add(target, "rgbfloat.xisf", xisf(3, XisfSampleFormat::Float32, 1.0f));
    const int pixels = kWidth * kHeight;
    seeds.add(target, "normal-big-endian.xisf",
              handMadeXisf("<Image " + geometryAttributes(3, "UInt16") +
                               " colorSpace=\"RGB\" pixelStorage=\"Normal\" byteOrder=\"big\" location=\"attachment:4096:" +
                               QByteArray::number(pixels * 6) + "\"/>",
                           randomBytes(pixels * 6)));
    seeds.add(target, "embedded.xisf",
              handMadeXisf("<Image " + geometryAttributes(1, "UInt8") +
                           " location=\"embedded\"><Data encoding=\"base64\">" + randomBytes(pixels).toBase64() +
                           "</Data><FITSKeyword name=\"FILTER\" value=\"'L &amp; R'\" comment=\"\"/></Image>"));
    seeds.add(target, "inline.xisf",
              handMadeXisf("<Image " + geometryAttributes(1, "Float32") + " location=\"inline:base64\">" +
                           randomBytes(pixels * 4).toBase64() + "</Image>"));
}

// --- Qt image formats and camera raw ---

QByteArray qtImage(QImage::Format format, const char* fileFormat)
{
    QImage image(kWidth, kHeight, format);
    std::uniform_int_distribution<int> level(0, 65535);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const int v = level(randomSamples());
            image.setPixelColor(x, y, QColor::fromRgba64(QRgba64::fromRgba64(v, 65535 - v, v / 2, 65535)));
        }
    QByteArray bytes;
    QBuffer device(&bytes);
    device.open(QIODevice::WriteOnly);
    if (!image.save(&device, fileFormat))
        throw std::runtime_error(std::string("Could not write a seed image as ") + fileFormat);
    return bytes;
}

// Little-endian TIFF fields.
QByteArray u16(int value)
{
    QByteArray bytes;
    bytes.append(char(value & 0xff));
    bytes.append(char(value >> 8 & 0xff));
    return bytes;
}
QByteArray u32(std::uint32_t value) { return u16(int(value & 0xffff)) + u16(int(value >> 16)); }

// A minimal uncompressed DNG: one IFD describing a 16-bit RGGB mosaic, of
// 32 x 24 pixels since LibRaw takes no raw image under 22 pixels a side.
QByteArray dng()
{
    constexpr int width = 32;
    constexpr int height = 24;
    struct Field {
        int tag;
        int type;  // 1 byte, 2 ASCII, 3 short, 4 long
        std::uint32_t count;
        QByteArray value;
    };
    QByteArray pixels;
    for (std::uint16_t sample : sixteenBitSamples(width * height))
        pixels += u16(sample);
    std::vector<Field> fields = {
        {254, 4, 1, u32(0)},
        {256, 4, 1, u32(width)},
        {257, 4, 1, u32(height)},
        {258, 3, 1, u16(16)},
        {259, 3, 1, u16(1)},
        {262, 3, 1, u16(32803)},  // colour filter array
        {271, 2, 8, QByteArray("Pelorum", 8)},
        {273, 4, 1, {}},  // the strip's offset, known once the fields are laid out
        {277, 3, 1, u16(1)},
        {278, 4, 1, u32(height)},
        {279, 4, 1, u32(std::uint32_t(pixels.size()))},
        {33421, 3, 2, u16(2) + u16(2)},
        {33422, 1, 4, QByteArray("\0\1\1\2", 4)},  // R G / G B
        {50706, 1, 4, QByteArray("\1\4\0\0", 4)},  // DNG 1.4
        {50708, 2, 4, QByteArray("Sim", 4)},
    };
    const std::uint32_t overflowStart = 8 + 2 + 12 * std::uint32_t(fields.size()) + 4;
    std::uint32_t pixelStart = overflowStart;
    for (const Field& field : fields)
        pixelStart += field.value.size() > 4 ? std::uint32_t(field.value.size()) : 0;
    QByteArray entries, overflow;
    for (Field& field : fields) {
        QByteArray value = field.tag == 273 ? u32(pixelStart) : field.value;
        if (value.size() > 4) {
            const std::uint32_t offset = overflowStart + std::uint32_t(overflow.size());
            overflow += value;
            value = u32(offset);
        }
        value.append(4 - value.size(), '\0');
        entries += u16(field.tag) + u16(field.type) + u32(field.count) + value;
    }
    return QByteArray("II*\0", 4) + u32(8) + u16(int(fields.size())) + entries + u32(0) + overflow + pixels;
}

// --- Seeds of each target ---

void addJpegSeeds(const SeedFolders& seeds)
{
    seeds.add("fuzz_jpeg_frame", "grey.jpg", jpeg(1));
    seeds.add("fuzz_jpeg_frame", "colour.jpg", jpeg(3));
    seeds.add("fuzz_jpeg_frame", "comment.jpg", jpeg(3, "Pelorum stack of 5 frames"));
}

void addFitsFrameSeeds(const SeedFolders& seeds)
{
    const char* target = "fuzz_fits_frame";
    seeds.add(target, "grey8.fits", byteFits(1));
    seeds.add(target, "colour8.fits", byteFits(3));
    seeds.add(target, "greyfloat.fits", floatFits(1));
    seeds.add(target, "colour16.fits", sixteenBitFits(3));
    seeds.add(target, "mosaic16.fits", mosaicFits());
    seeds.add(target, "state.fits", fullState());
    const auto sixteenBit = [](const std::string& path) { writeSixteenBitFits(path, 1, {}); };
    const auto floats = [](const std::string& path) { writeFits(path, noiseImage<float>(1, 4000.0f)); };
    seeds.add(target, "rice16.fits.fz", compressedFits(RICE_1, sixteenBit));
    seeds.add(target, "hcompress16.fits.fz", compressedFits(HCOMPRESS_1, sixteenBit));
    seeds.add(target, "plio16.fits.fz", compressedFits(PLIO_1, sixteenBit));
    seeds.add(target, "gzipfloat.fits.fz", compressedFits(GZIP_1, floats));
}

QByteArray card(const std::string& text)
{
    return QByteArray::fromStdString(text + std::string(80 - text.size(), ' '));
}

QByteArray cards(const std::vector<std::string>& texts)
{
    QByteArray bytes;
    for (const std::string& text : texts)
        bytes += card(text);
    return bytes;
}

void addFitsHeaderSeeds(const SeedFolders& seeds)
{
    const char* target = "fuzz_fits_header";
    seeds.add(target, "mosaic.cards",
              cards({"BZERO   =                32768", "BSCALE  =                    1",
                     "BAYERPAT= 'GRBG    '           / colour filter array",
                     "XBAYROFF=                    1", "YBAYROFF=                    1",
                     "ROWORDER= 'BOTTOM-UP'"}));
    seeds.add(target, "exposure.cards",
              cards({"EXPTIME =                 30.0 / seconds", "DATE-OBS= '2024-03-01T21:14:05.123'",
                     "OBJECT  = 'M 42 ''Orion'''", "INSTRUME= 'ZWO ASI2600MM Pro'",
                     "COMMENT   written by a camera driver", "HISTORY   calibrated", "",
                     "HIERARCH ESO DET GAIN = 1.5", "LONGSTR = 'a long string continued&'",
                     "CONTINUE  'on the next card'", "FLIPPED =                    T",
                     "COMPLEX =           (1.0, 2.0)", "EXPOSURE=               1.5D3"}));
    seeds.add(target, "statistics.cards",
              cards({"CTYPE1  = 'RA---TAN'", "CRVAL1  =                 83.8", "DATAMIN =                    0",
                     "DATAMAX =                 4000", "MEDIAN1 =                 2000",
                     "MEAN1   =               2001.5", "STDDEV1 =               1150.2"}));
}

void addStateSeeds(const SeedFolders& seeds)
{
    seeds.addPicked("fuzz_state_image", "linear.fits", 0, fullState());
    seeds.addPicked("fuzz_state_image", "older.fits", 0, olderState());
    seeds.addPicked("fuzz_state_image", "colour.jpg", 1, jpeg(3));
    const char* target = "fuzz_state_sidecar";
    seeds.add(target, "full", QByteArray("5 12.5 1 0 0.25\n\0frames 5\n4.5 6.25 1200.5\n10 2 300\n", 51));
    seeds.add(target, "count-only", QByteArray("7\n"));
    seeds.add(target, "no-stars", QByteArray("2 -90.0\n\0", 9));
}

void addFrameRecordSeeds(const SeedFolders& seeds)
{
    seeds.add("fuzz_frame_record", "two-lines",
              QByteArray(R"({"accepted":true,"frame":"/n/frame_0001.jpg","frames":1,"ms":{"Total":300.5},"reason":null})"
                         "\n"
                         R"({"accepted":false,"frame":"frame_0002.jpg","frames":1,"reason":"it could not be registered"})"
                         "\n"));
    seeds.add("fuzz_frame_record", "no-count", QByteArray(R"({"frame":"a.fits","frames":null})" "\n"));
}

void addCameraFrameSeeds(const SeedFolders& seeds)
{
    // The suffix each first byte picks: jpg fits fz xisf png tif cr2 nef dng.
    const char* target = "fuzz_camera_frame";
    seeds.addPicked(target, "colour.jpg", 0, jpeg(3));
    seeds.addPicked(target, "mosaic16.fits", 1, mosaicFits());
    seeds.addPicked(target, "grey8.fits", 1, byteFits(1));
    const auto sixteenBit = [](const std::string& path) { writeSixteenBitFits(path, 3, {}); };
    seeds.addPicked(target, "rice16.fz", 2, compressedFits(RICE_1, sixteenBit));
    seeds.addPicked(target, "rgb16.xisf", 3, xisf(3, XisfSampleFormat::UInt16, 65535.0f));
    seeds.addPicked(target, "grey16.png", 4, qtImage(QImage::Format_Grayscale16, "PNG"));
    seeds.addPicked(target, "colour8.png", 4, qtImage(QImage::Format_RGB32, "PNG"));
    seeds.addPicked(target, "colour16.png", 4, qtImage(QImage::Format_RGBA64, "PNG"));
    // Qt writes TIFF only with its image-formats plugin installed.
    if (QImageWriter::supportedImageFormats().contains("tiff"))
        seeds.addPicked(target, "colour16.tif", 5, qtImage(QImage::Format_RGBA64, "TIFF"));
    seeds.addPicked(target, "mosaic.dng", 8, dng());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "Usage: " << argv[0] << " FOLDER\n";
        return 2;
    }
    try {
        const SeedFolders seeds{fs::path(argv[1])};
        addJpegSeeds(seeds);
        addFitsFrameSeeds(seeds);
        addFitsHeaderSeeds(seeds);
        addXisfSeeds(seeds);
        addStateSeeds(seeds);
        addCameraFrameSeeds(seeds);
        addFrameRecordSeeds(seeds);
    } catch (const std::exception& e) {
        std::cerr << "Could not write the fuzz seeds: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

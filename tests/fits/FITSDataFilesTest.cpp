#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fitsio.h>

#include "fits/FITSData.h"
#include "fits/SampleTypes.h"
#include "support/TestSupport.h"

namespace {

struct Key {
    const char* name;
    QVariant value;
};

// A FITS file written with CFITSIO: an optional empty primary HDU, then an
// image of the given BITPIX-like type code (USHORT_IMG adds BZERO 32768)
// holding `values` in file order, and the keys.
void writeFits(const std::string& path, int type, std::vector<long> axes, const std::vector<double>& values,
               const std::vector<Key>& keys = {}, bool inExtension = false)
{
    fitsfile* file = nullptr;
    int status = 0;
    fits_create_file(&file, ("!" + path).c_str(), &status);
    if (inExtension)
        fits_create_img(file, BYTE_IMG, 0, nullptr, &status);
    fits_create_img(file, type, int(axes.size()), axes.data(), &status);
    for (const Key& key : keys) {
        if (key.value.type() == QVariant::String) {
            const QByteArray text = key.value.toString().toLatin1();
            fits_write_key_str(file, key.name, text.constData(), "", &status);
        } else {
            fits_write_key_dbl(file, key.name, key.value.toDouble(), -15, "", &status);
        }
    }
    fits_write_img(file, TDOUBLE, 1, LONGLONG(values.size()), const_cast<double*>(values.data()), &status);
    fits_close_file(file, &status);
    ASSERT_EQ(status, 0) << path;
}

QSharedPointer<FITSData> loaded(const std::string& path, FITSMode mode = FITSMode::Normal)
{
    auto data = QSharedPointer<FITSData>::create(mode);
    EXPECT_TRUE(data->loadFromFile(QString::fromStdString(path)).result()) << path << ": "
                                                                            << data->lastError().toStdString();
    return data;
}

// Every sample of every plane, in buffer order, whatever the sample type.
std::vector<double> samplesOf(FITSData& data)
{
    const auto& s = data.getStatistics();
    std::vector<double> samples;
    forDataType(int(s.dataType), [&](auto tag) {
        const auto* begin = reinterpret_cast<const decltype(tag)*>(data.getImageBuffer());
        samples.assign(begin, begin + s.samples_per_channel * s.channels);
    });
    return samples;
}

// 80-column cards padded to 2880-byte blocks, for files CFITSIO would refuse to write.
std::string card(const std::string& text) { return text + std::string(80 - text.size(), ' '); }
std::string block(std::string bytes) { return bytes + std::string((2880 - bytes.size() % 2880) % 2880, ' '); }

// A minimal uncompressed DNG of a 16-bit RGGB mosaic, as a camera writes one:
// a little-endian TIFF whose one IFD carries the CFA and DNG tags.
std::string dngFile(int width, int height)
{
    std::string entries, values, pixels;
    const auto u16 = [](int v) { return std::string{char(v & 255), char(v >> 8 & 255)}; };
    const auto u32 = [&](long v) { return u16(int(v & 65535)) + u16(int(v >> 16)); };
    for (int i = 0; i < width * height; ++i)
        pixels += u16(1000 + 1000 * (i % 2));
    struct Tag {
        int tag, type, count;
        std::string value;
    };
    const std::vector<Tag> tags = {
        {254, 4, 1, u32(0)}, {256, 4, 1, u32(width)}, {257, 4, 1, u32(height)}, {258, 3, 1, u16(16)},
        {259, 3, 1, u16(1)}, {262, 3, 1, u16(32803)}, {271, 2, 8, std::string("Pelorum", 8)}, {273, 4, 1, ""},
        {277, 3, 1, u16(1)}, {278, 4, 1, u32(height)}, {279, 4, 1, u32(long(pixels.size()))},
        {33421, 3, 2, u16(2) + u16(2)}, {33422, 1, 4, std::string("\0\1\1\2", 4)},
        {50706, 1, 4, std::string("\1\4\0\0", 4)}, {50708, 2, 4, std::string("Sim", 4)}};
    const long valuesStart = 8 + 2 + 12 * long(tags.size()) + 4;
    long pixelsStart = valuesStart;
    for (const Tag& t : tags)
        pixelsStart += t.value.size() > 4 ? long(t.value.size()) : 0;
    for (const Tag& t : tags) {
        std::string value = t.tag == 273 ? u32(pixelsStart) : t.value;
        if (value.size() > 4) {
            values += value;
            value = u32(valuesStart + long(values.size() - value.size()));
        }
        entries += u16(t.tag) + u16(t.type) + u32(t.count) + value + std::string(4 - value.size(), '\0');
    }
    return "II*" + std::string(1, '\0') + u32(8) + u16(int(tags.size())) + entries + u32(0) + values + pixels;
}

} // namespace

TEST(FITSDataFiles, SampleTypesFollowBzeroAndTheImageMayLieInAnExtension)
{
    TempDir dir;
    const struct {
        const char* name;
        int type;
        std::vector<double> values;
        uint32_t dataType;
        bool inExtension;
    } cases[] = {
        {"u8.fits", BYTE_IMG, {0, 7, 255, 128}, TBYTE, false},
        {"u16.fits", USHORT_IMG, {0, 1, 65535, 40000}, TUSHORT, false},
        {"s16.fits", SHORT_IMG, {-32768, -5, 0, 32767}, TSHORT, false},
        {"s32.fits", LONG_IMG, {-2147483648.0, -1, 7, 2147483647.0}, TLONG, false},
        {"f64.fits", DOUBLE_IMG, {-1.5, 0.25, 1e300, 3}, TDOUBLE, false},
        {"ext.fits", USHORT_IMG, {10, 20, 30, 40}, TUSHORT, true},
    };
    for (const auto& c : cases) {
        writeFits(dir.file(c.name), c.type, {2, 2}, c.values, {}, c.inExtension);
        const auto data = loaded(dir.file(c.name));
        ASSERT_EQ(data->getStatistics().dataType, c.dataType) << c.name;
        EXPECT_EQ(samplesOf(*data), c.values) << c.name;
    }
}

TEST(FITSDataFiles, CubesCompressedCopiesAndBlankFloatsLoadWithTheirStatistics)
{
    TempDir dir;
    // Planes 1..4, 10..40, 100..400 of a 2 x 2 cube, and a tile-compressed copy made by CFITSIO.
    const std::vector<double> planes = {1, 2, 3, 4, 10, 20, 30, 40, 100, 200, 300, 400};
    writeFits(dir.file("cube.fits"), USHORT_IMG, {2, 2, 3}, planes);
    fitsfile *in = nullptr, *out = nullptr;
    int status = 0;
    fits_open_file(&in, dir.file("cube.fits").c_str(), READONLY, &status);
    fits_create_file(&out, dir.file("cube.fits.fz").c_str(), &status);
    fits_set_compression_type(out, RICE_1, &status);
    fits_img_compress(in, out, &status);
    fits_close_file(out, &status);
    fits_close_file(in, &status);
    ASSERT_EQ(status, 0);
    for (const std::string name : {"cube.fits", "cube.fits.fz"}) {
        const auto cube = loaded(dir.file(name));
        const auto& s = cube->getStatistics();
        EXPECT_EQ(cube->isCompressed(), name != "cube.fits");
        EXPECT_EQ(samplesOf(*cube), planes) << name;
        EXPECT_EQ(std::vector<double>(s.max, s.max + 3), (std::vector<double>{4, 40, 400})) << name;
        EXPECT_EQ(std::vector<double>(s.mean, s.mean + 3), (std::vector<double>{2.5, 25, 250})) << name;
    }
    // Blank pixels of float data are NaN; they count in no statistic.
    writeFits(dir.file("blank.fits"), FLOAT_IMG, {2, 2}, {NAN, 2.0, 4.0, NAN});
    const auto blank = loaded(dir.file("blank.fits"));
    EXPECT_EQ(blank->getStatistics().mean[0], 3.0);
    EXPECT_EQ(blank->getStatistics().stddev[0], 1.0);
}

TEST(FITSDataFiles, HostileFilesAreRefusedWithTheReason)
{
    TempDir dir;
    // An 8-bit primary header of the given sides, with or without its END card.
    const auto header = [](const char* width, const char* height, bool end = true) {
        return block(card("SIMPLE  =                    T") + card("BITPIX  =                    8") +
                     card("NAXIS   =                    2") + card(std::string("NAXIS1  = ") + width) +
                     card(std::string("NAXIS2  = ") + height) + (end ? card("END") : ""));
    };
    const std::pair<const char*, std::string> cases[] = {
        {"huge.fits", header("60000", "60000") + std::string(2880, '\1')},
        {"wide.fits", header("70000", "1") + block(std::string(70000, '\1'))},
        {"noend.fits", header("2", "2", false) + block("\1\2\3\4")},
        {"short.fits", header("100", "100") + std::string(100, '\1')},
        {"zero.fits", header("0", "5")},
        {"text.fits", "not a FITS file at all"},
    };
    for (const auto& [name, bytes] : cases) {
        writeFile(dir.file(name), bytes);
        FITSData data;
        EXPECT_TRUE(!data.loadFromFile(QString::fromStdString(dir.file(name))).result() &&
                    data.lastError().contains(QString::fromStdString(dir.file(name)))) << data.lastError().toStdString();
    }
}

TEST(FITSDataFiles, HeaderCardsKeepTheirTypesAndQuotedSlashes)
{
    TempDir dir;
    writeFits(dir.file("h.fits"), BYTE_IMG, {2, 2}, {1, 2, 3, 4},
              {{"EXPTIME", 30.0}, {"OBJECT", "M 31/NGC 224"}, {"GAIN", 139}});
    fitsfile* file = nullptr;
    int status = 0;
    fits_open_file(&file, dir.file("h.fits").c_str(), READWRITE, &status);
    fits_update_key_lng(file, "EXPOSURE", 30, "seconds", &status);
    fits_write_history(file, "stacked by hand", &status);
    fits_close_file(file, &status);
    const auto valueOf = [](const FITSData& data, const QString& key) {
        QVariant value;
        data.getRecordValue(key, value);
        return value;
    };
    const auto data = loaded(dir.file("h.fits"));
    EXPECT_EQ(valueOf(*data, "EXPTIME").type(), QVariant::Double);  // 30.0 is not an integer
    EXPECT_EQ(valueOf(*data, "EXPOSURE"), QVariant(30));
    EXPECT_EQ(valueOf(*data, "OBJECT"), QVariant("M 31/NGC 224"));
    const auto& records = data->getRecords();
    const auto history = std::find_if(records.begin(), records.end(), [](const auto& r) { return r.key == "HISTORY"; });
    ASSERT_NE(history, records.end());
    EXPECT_FALSE(history->value.isValid());
    EXPECT_EQ(history->comment, "stacked by hand");

    // Saved and read again, every keyword keeps its value; layout keys come from the data.
    ASSERT_TRUE(data->saveAs(QString::fromStdString(dir.file("copy.fits"))));
    const auto copy = loaded(dir.file("copy.fits"));
    EXPECT_EQ(valueOf(*copy, "OBJECT"), QVariant("M 31/NGC 224"));
    EXPECT_EQ(valueOf(*copy, "EXPOSURE"), QVariant(30));
    EXPECT_TRUE(valueOf(*copy, "MIN1").isValid() && !valueOf(*copy, "MIN2").isValid());  // one channel
    EXPECT_EQ(std::count_if(copy->getRecords().begin(), copy->getRecords().end(),
                            [](const auto& r) { return r.key == "BITPIX" || r.key == "NAXIS1"; }),
              2);
    EXPECT_EQ(samplesOf(*copy), (std::vector<double>{1, 2, 3, 4}));
    // The statistics come back from the keys saveAs wrote.
    EXPECT_EQ(copy->getStatistics().median[0], data->getStatistics().median[0]);

    EXPECT_TRUE(!copy->saveAs(QString::fromStdString(dir.file("copy.fits"))) && !copy->lastError().isEmpty());
}

TEST(FITSDataFiles, BayerMosaicsTurnIntoColourPlanesWithTheirOffsets)
{
    TempDir dir;
    // A 16 x 16 RGGB mosaic of a flat scene: red 200, green 100, blue 50.
    std::vector<double> mosaic(256);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            mosaic[std::size_t(y * 16 + x)] = y % 2 == 0 ? (x % 2 == 0 ? 200 : 100) : (x % 2 == 0 ? 100 : 50);
    const auto scene = [](std::size_t pixels) {  // the planes R, G, B of the scene
        std::vector<double> planes(pixels, 200);
        planes.insert(planes.end(), pixels, 100);
        planes.insert(planes.end(), pixels, 50);
        return planes;
    };
    const struct {
        const char* pattern;
        int offsetX, offsetY;
        uint32_t filter;  // 0: no pattern
    } cases[] = {{"RGGB", 0, 0, 512}, {"GRBG", 1, 0, 512}, {"RGGB", 2, 0, 0}, {"GBRG", 0, 1, 513}};
    for (const auto& c : cases) {
        writeFits(dir.file("m.fits"), USHORT_IMG, {16, 16}, mosaic,
                  {{"BAYERPAT", c.pattern}, {"XBAYROFF", c.offsetX}, {"YBAYROFF", c.offsetY}});
        const auto data = loaded(dir.file("m.fits"));
        SCOPED_TRACE(std::string(c.pattern) + " " + std::to_string(c.offsetX) + "," + std::to_string(c.offsetY));
        ASSERT_EQ(data->hasDebayer(), c.filter != 0);
        if (c.filter == 0)
            continue;
        EXPECT_EQ(data->getBayerParams().filter, c.filter);
        EXPECT_EQ(samplesOf(*data), scene(256));
    }
    // Every method fills the whole frame, edges included (libdc1394 leaves up to three
    // rows and columns black or unwritten); downsampling halves each side.
    writeFits(dir.file("m.fits"), USHORT_IMG, {16, 16}, mosaic, {{"BAYERPAT", "RGGB"}});
    for (uint32_t method = 0; method <= 7; ++method) {
        const auto data = loaded(dir.file("m.fits"));
        data->setBayerParams({method, 512, 0, 0});
        ASSERT_TRUE(data->debayer(true)) << method;
        const std::size_t side = method == 4 ? 8 : 16;
        ASSERT_EQ(std::size_t(data->width()), side) << method;
        EXPECT_EQ(samplesOf(*data), scene(side * side)) << method;
    }
    // A mosaic in another mode keeps one channel to show.
    EXPECT_EQ(int(loaded(dir.file("m.fits"), FITSMode::Focus)->channels()), 1);
}

TEST(FITSDataFiles, QtImagesLoadAsPlanesWhateverTheirRowPadding)
{
    TempDir dir;
    // 5 pixels wide: rows of a grey or indexed image are padded to 8 bytes.
    QImage grey(5, 2, QImage::Format_Grayscale8), colour(5, 2, QImage::Format_RGB888);
    QImage indexed(5, 2, QImage::Format_Indexed8);
    indexed.setColorTable({qRgb(0, 0, 0), qRgb(250, 10, 20)});
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 5; ++x) {
            grey.setPixel(x, y, qRgb(x * 10 + y, x * 10 + y, x * 10 + y));
            colour.setPixel(x, y, qRgb(x, 100 + y, 200));
            indexed.setPixel(x, y, uint((x + y) % 2));
        }
    ASSERT_TRUE(grey.save(QString::fromStdString(dir.file("g.png"))) && colour.save(QString::fromStdString(dir.file("c.png"))) &&
                indexed.save(QString::fromStdString(dir.file("i.bmp"))));
    EXPECT_EQ(samplesOf(*loaded(dir.file("g.png"))), (std::vector<double>{0, 10, 20, 30, 40, 1, 11, 21, 31, 41}));
    const auto rgb = loaded(dir.file("c.png"));
    std::vector<double> planes = {0, 1, 2, 3, 4, 0, 1, 2, 3, 4};
    for (double level : {100, 101, 200, 200})
        planes.insert(planes.end(), 5, level);
    EXPECT_EQ(samplesOf(*rgb), planes);
    // A 16-bit TIFF, as cameras' own software writes, keeps its 16 bits.
    QImage deep(3, 1, QImage::Format_Grayscale16);
    auto* deepRow = reinterpret_cast<quint16*>(deep.scanLine(0));
    deepRow[0] = 0;
    deepRow[1] = 1000;
    deepRow[2] = 65535;
    ASSERT_TRUE(deep.save(QString::fromStdString(dir.file("d.tif"))));
    EXPECT_EQ(samplesOf(*loaded(dir.file("d.tif"))), (std::vector<double>{0, 1000, 65535}));
    const std::vector<double> palette = samplesOf(*loaded(dir.file("i.bmp")));  // pixel (1, 0) in each plane
    EXPECT_EQ(std::vector<double>({palette.at(1), palette.at(11), palette.at(21)}), (std::vector<double>{250, 10, 20}));

    // Converted to FITS, each image gets a new file of its own under a unique name.
    QString first, second;
    ASSERT_TRUE(FITSData::ImageToFITS(QString::fromStdString(dir.file("c.png")), "png", first) &&
                FITSData::ImageToFITS(QString::fromStdString(dir.file("c.png")), "png", second));
    EXPECT_NE(first, second);
    EXPECT_EQ(samplesOf(*loaded(first.toStdString())), samplesOf(*rgb));
    EXPECT_TRUE(QFile::remove(first) && QFile::remove(second));
}

TEST(FITSDataFiles, CameraRawFilesLoadThroughLibRaw)
{
    TempDir dir;
    writeFile(dir.file("frame.dng"), dngFile(64, 48));
    const auto raw = loaded(dir.file("frame.dng"));
    EXPECT_EQ(std::tuple(int(raw->width()), int(raw->height()), int(raw->channels())), std::tuple(64, 48, 3));
    EXPECT_TRUE(FITSData::isSupportedFile("frame.NEF"));
    writeFile(dir.file("broken.dng"), "II*");
    EXPECT_FALSE(FITSData().loadFromFile(QString::fromStdString(dir.file("broken.dng"))).result());
}

TEST(FITSDataFiles, PelorumInfoReportsWhatTheFilesHold)
{
    TempDir dir;
    writeFits(dir.file("a.fits"), USHORT_IMG, {2, 2}, {100, 300, 500, 700}, {{"OBJECT", "M 42"}});
    writeFile(dir.file("bad.fits"), "nothing");
    const ProcessResult r =
        runProgram(PELORUM_INFO_EXECUTABLE, {dir.file("a.fits"), dir.file("bad.fits"), "--json"});
    EXPECT_TRUE(r.exitCode == 1 && r.err.find(dir.file("bad.fits")) != std::string::npos) << r.err;
    const QJsonArray reports = QJsonDocument::fromJson(QByteArray::fromStdString(r.out)).array();
    ASSERT_EQ(reports.size(), 2);
    const QJsonObject a = reports[0].toObject(), stats = a["stats"].toObject();
    EXPECT_TRUE(a["format"] == "fits" && a["dataType"] == "TUSHORT" && a["bayer"].isNull());
    // Mean 400, population deviation sqrt((300^2 + 100^2) x 2 / 4) = 223.607, median of 100..700 by fours.
    EXPECT_EQ(stats["mean"].toArray(), QJsonArray{400.0});
    EXPECT_NEAR(stats["stddev"].toArray()[0].toDouble(), 223.6068, 1e-4);
    EXPECT_EQ(stats["median"].toArray(), QJsonArray{400.0});
    EXPECT_EQ(stats["max"].toArray(), QJsonArray{700.0});
    EXPECT_TRUE(reports[1].toObject().contains("error"));

    // Text for people, the stretched view, and copies: XISF keeps samples and keys; PNG spreads mean - sigma
    // (176.4) ... mean + 3 sigma (1070.8) over 0 ... 255, so 100 300 500 700 give 0 35 92 149.
    for (const char* copy : {"a.xisf", "a.png"}) {
        const ProcessResult text = runProgram(PELORUM_INFO_EXECUTABLE, {dir.file("a.fits"), "--stretch",
                                                                        dir.file("view.png"), "--convert", dir.file(copy)});
        EXPECT_TRUE(text.exitCode == 0 && text.out.find("OBJECT   = M 42") != std::string::npos) << text.out;
    }
    EXPECT_EQ(samplesOf(*loaded(dir.file("a.xisf"))), (std::vector<double>{100, 300, 500, 700}));
    EXPECT_EQ(samplesOf(*loaded(dir.file("a.png"))), (std::vector<double>{0, 35, 92, 149}));
    EXPECT_EQ(QImage(QString::fromStdString(dir.file("view.png"))).size(), QSize(2, 2));
}

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <tuple>

#include <QRegularExpression>

#include "fits/XisfFile.h"
#include "support/TestSupport.h"

namespace {

class XisfFile : public testing::Test {
protected:
    QString path(const std::string& name) const { return QString::fromStdString(dir_.file(name)); }
    TempDir dir_;
};

std::vector<std::string> keywordLines(const QList<XisfKeyword>& keywords)
{
    std::vector<std::string> lines;
    for (const XisfKeyword& keyword : keywords)
        lines.push_back((keyword.name + '=' + keyword.value + '/' + keyword.comment).toStdString());
    return lines;
}

// The message without the system's reason, " (...)" at its end.
std::string withoutReason(const std::string& message)
{
    return message.substr(0, message.rfind(" ("));
}

// A file built by hand, independent of encodeXisf: the XML holds `content`
// inside the root element, and the data block starts at byte 1024.
QByteArray handBuilt(const QString& content, const QByteArray& block, const QByteArray& signature = "XISF0100")
{
    const QByteArray xml = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<xisf version=\"1.0\" xmlns=\"http://www.pixinsight.com/xisf\">" + content + "</xisf>")
                               .toUtf8();
    QByteArray file = signature;
    for (int shift = 0; shift < 32; shift += 8)
        file += char(xml.size() >> shift & 0xff);
    file += QByteArray(4, '\0') + xml;
    return file + QByteArray(1024 - file.size(), '\0') + block;
}

QByteArray imageFile(const QString& attributes, const QByteArray& block = QByteArray(12, '\x07'))
{
    return handBuilt("<Image " + attributes + "/>", block);
}

// Makes writes beyond `bytes` fail, as on a full disk, while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : previousHandler_(std::signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    void (*previousHandler_)(int);
    rlimit previous_{};
};

}  // namespace

TEST_F(XisfFile, EveryFormatRoundTripsPlanarAndLittleEndianWithEscapedKeywordsInOrder)
{
    const QList<XisfKeyword> keywords = {{"OBJECT", "'M 31/NGC 224'", "<Andromeda> & \"friends\""},
                                         {"EXPTIME", "30.0", ""},
                                         {"HISTORY", "", "a 'quoted' &amp; <b> in Ångström"}};
    std::mt19937 random(11);
    for (const auto& [format, sampleBytes] :
         {std::pair{XisfSampleFormat::UInt8, 1}, {XisfSampleFormat::UInt16, 2}, {XisfSampleFormat::UInt32, 4},
          {XisfSampleFormat::Float32, 4}}) {
        for (int channels : {1, 3}) {
            // Random bytes differ from sample to sample, so a swapped byte or plane shows.
            XisfImage image{5, 3, channels, format, channels == 3, QByteArray(5 * 3 * channels * sampleBytes, '\0'),
                            keywords};
            for (char& byte : image.pixels)
                byte = char(random());
            writeXisfFile(path("frame.xisf"), image);

            // The block lies where the header says, exactly the pixels given.
            const QByteArray file = QByteArray::fromStdString(readFile(dir_.file("frame.xisf")));
            const quint32 headerLength = uchar(file[8]) | uchar(file[9]) << 8 | uchar(file[10]) << 16 |
                                         quint32(uchar(file[11])) << 24;
            const QString header = QString::fromUtf8(file.mid(16, int(headerLength)));
            EXPECT_TRUE(file.startsWith("XISF0100"));
            EXPECT_TRUE(header.trimmed().endsWith("</xisf>"));
            const auto location = QRegularExpression("location=\"attachment:(\\d+):(\\d+)\"").match(header);
            ASSERT_TRUE(location.hasMatch());
            EXPECT_EQ(file.mid(location.captured(1).toInt(), location.captured(2).toInt()), image.pixels);

            const XisfImage read = readXisfFile(path("frame.xisf"));
            EXPECT_EQ(std::tuple(read.width, read.height, read.channels, read.sampleFormat, read.rgb),
                      std::tuple(5, 3, channels, format, channels == 3));
            EXPECT_EQ(read.pixels, image.pixels) << int(format) << " " << channels;
            EXPECT_EQ(keywordLines(read.keywords), keywordLines(keywords));
        }
    }
}

TEST(XisfRead, InterleavedBigEndianEmbeddedAndInlineBlocksComeBackPlanarAndLittleEndian)
{
    const QString keywords = "<FITSKeyword name=\"OBJECT\" value=\"'M 31 &amp; M 32'\" comment=\"&lt;target&gt;\"/>"
                             "<ColorFilterArray pattern=\"RGGB\" width=\"2\" height=\"2\"/>"
                             "<FITSKeyword name=\"EXPTIME\" value=\"30\" comment=\"&quot;s&quot;\"/>";
    const struct {
        QString content;
        QByteArray block;
        QByteArray pixels;
    } cases[] = {
        // Two RGB pixels of UInt16 0x0102 0x0304 0x0506 | 0x0708 0x090a 0x0b0c.
        {"<Metadata><Property id=\"XISF:CreatorApplication\" type=\"String\">x</Property></Metadata>"
         "<Image geometry=\"2:1:3\" sampleFormat=\"UInt16\" colorSpace=\"RGB\" pixelStorage=\"Normal\" "
         "byteOrder=\"big\" location=\"attachment:1024:12\">" + keywords + "</Image>"
         "<Image geometry=\"1:1:1\" sampleFormat=\"UInt8\" location=\"attachment:1024:1\"/>",
         "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c", "\x02\x01\x08\x07\x04\x03\x0a\x09\x06\x05\x0c\x0b"},
        // Two grey channels of two pixels: A B | C D becomes planes A C, B D.
        {"<Image geometry=\"1:2:2\" sampleFormat=\"UInt32\" pixelStorage=\"Normal\" byteOrder=\"little\" "
         "location=\"attachment:1024:16\">" + keywords + "</Image>",
         "AAAABBBBCCCCDDDD", "AAAACCCCBBBBDDDD"},
        // 1.0f, big-endian.
        {"<Image geometry=\"1:1:1\" sampleFormat=\"Float32\" byteOrder=\"big\" location=\"attachment:1024:4\">" +
             keywords + "</Image>",
         QByteArray("\x3f\x80\x00\x00", 4), QByteArray("\x00\x00\x80\x3f", 4)},
        {"<Image geometry=\"3:2:1\" sampleFormat=\"UInt8\" location=\"embedded\">" + keywords +
             "<Data encoding=\"base64\">AQID\n    BAUG</Data></Image>",
         "", "\x01\x02\x03\x04\x05\x06"},
        {"<Image geometry=\"2:1:1\" sampleFormat=\"UInt16\" location=\"inline:base64\">AQIDBA==" + keywords +
             "</Image>",
         "", "\x01\x02\x03\x04"},
    };
    for (const auto& [content, block, pixels] : cases) {
        const XisfImage image = readXisf(handBuilt(content, block), "hand.xisf");
        EXPECT_EQ(image.pixels, pixels) << content.toStdString();
        EXPECT_EQ(keywordLines(image.keywords),
                  (std::vector<std::string>{"OBJECT='M 31 & M 32'/<target>", "EXPTIME=30/\"s\""}));
    }
}

TEST(XisfRead, HostileFilesAreRefusedNamingTheFileAndWhatIsWrong)
{
    QByteArray lengthBeyond = imageFile(R"(geometry="4:3:1" sampleFormat="UInt8" location="attachment:1024:12")");
    lengthBeyond.replace(8, 4, QByteArray("\x00\x00\x01\x00", 4));
    const QString image = R"(sampleFormat="UInt8" location="attachment:1024:12" geometry=)";
    const std::pair<QByteArray, std::string> cases[] = {
        {"XISF0100", "No XISF 1.0 signature at the start of hostile.xisf"},
        {handBuilt("", "", "XISF0200"), "No XISF 1.0 signature at the start of hostile.xisf"},
        {lengthBeyond, "XISF header of 65536 bytes beyond the end of hostile.xisf"},
        {handBuilt("<Metadata/>", ""), "No Image element in the XISF header of hostile.xisf"},
        {imageFile(image + "\"4:3:1\"", "\x07\x07\x07"), "XISF data block beyond the end of hostile.xisf"},
        {imageFile(R"(geometry="4:3:1" sampleFormat="UInt8" location="attachment:4294967296000:12")"),
         "XISF data block beyond the end of hostile.xisf"},
        {imageFile(image + "\"65535:1:1\""),
         "XISF data block of 12 bytes in hostile.xisf, geometry 65535:1:1 of UInt8 needs 65535"},
        {imageFile(image + "\"2:2:3:1\""), "Unsupported 3-D XISF image (geometry 2:2:3:1) in hostile.xisf"},
        {imageFile(image + "\"2:x:3\""), "Malformed XISF geometry 2:x:3 in hostile.xisf"},
        {imageFile(image + "\"0:3:1\""),
         "Unusable XISF image in hostile.xisf: a width, height or channel count below 1"},
        {imageFile(image + "\"65536:1:1\""),
         "Unusable XISF image in hostile.xisf: a width, height or channel count above 65535"},
        {imageFile(image + "\"4:3:1\" colorSpace=\"RGB\""),
         "Unusable XISF image in hostile.xisf: an RGB colour space with fewer than 3 channels"},
        {imageFile(image + "\"4:3:1\" colorSpace=\"CIELab\""), "Unsupported XISF colour space CIELab in hostile.xisf"},
        {imageFile(R"(geometry="3:2:1" sampleFormat="Float64" location="attachment:1024:48")"),
         "Unsupported XISF sample format Float64 in hostile.xisf"},
        {imageFile(image + "\"4:3:1\" compression=\"zlib:12\""),
         "Compressed XISF data blocks are not supported: compression zlib:12 in hostile.xisf"},
        {imageFile(R"(geometry="4:3:1" sampleFormat="UInt8" location="path(@header_dir/a.xisb):0:12")"),
         "Distributed XISF data blocks are not supported: location path(@header_dir/a.xisb):0:12 in hostile.xisf"},
        {imageFile(R"(geometry="4:3:1" sampleFormat="UInt8" location="attachment:1024")"),
         "Malformed XISF data block location attachment:1024 in hostile.xisf"},
        {imageFile(R"(geometry="1:1:1" sampleFormat="UInt8" location="embedded")"),
         "No Data element for the embedded XISF data block in hostile.xisf"},
        {handBuilt(R"(<Image geometry="1:1:1" sampleFormat="UInt8" location="embedded">)"
                   R"(<Data encoding="hex">07</Data></Image>)", ""),
         "Unsupported XISF data encoding hex in hostile.xisf"},
        {handBuilt(R"(<Image geometry="1:1:1" sampleFormat="UInt8" location="inline:base64">B*==</Image>)", ""),
         "Malformed base64 XISF data block in hostile.xisf"},
    };
    for (const auto& [file, message] : cases)
        EXPECT_EQ(errorOf([&] { readXisf(file, "hostile.xisf"); }), message);
    const std::string unclosed = errorOf([] { readXisf(handBuilt("<Image geometry=\"1:1:1\">", ""), "hostile.xisf"); });
    EXPECT_EQ(unclosed.rfind("Malformed XISF header in hostile.xisf: ", 0), 0u) << unclosed;
}

TEST_F(XisfFile, FailedWritesLeaveTheEarlierFileIntactAndNoTemporary)
{
    const XisfImage small{2, 2, 1, XisfSampleFormat::UInt16, false, QByteArray(8, '\x05'), {}};
    writeXisfFile(path("frame.xisf"), small);
    const std::string before = readFile(dir_.file("frame.xisf"));

    XisfImage wrong = small;
    wrong.pixels.chop(3);
    const std::string problem = "pixels hold 5 bytes, geometry 2:2:1 of UInt16 needs 8";
    EXPECT_EQ(errorOf([&] { writeXisfFile(path("frame.xisf"), wrong); }),
              "Cannot write XISF file " + dir_.file("frame.xisf") + ": " + problem);
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { encodeXisf(wrong); }), "Cannot encode XISF image: " + problem);
    {
        // A large image fails past the limit, as on a full disk.
        const FileSizeLimit limit(before.size() + 1024);
        const XisfImage large{64, 64, 3, XisfSampleFormat::Float32, true, QByteArray(64 * 64 * 3 * 4, '\x01'), {}};
        EXPECT_EQ(withoutReason(errorOf([&] { writeXisfFile(path("frame.xisf"), large); })),
                  "Could not write XISF file " + dir_.file("frame.xisf"));
    }
    EXPECT_EQ(readFile(dir_.file("frame.xisf")), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);

    const std::string missing = dir_.file("missing/frame.xisf");
    EXPECT_EQ(withoutReason(errorOf([&] { writeXisfFile(QString::fromStdString(missing), small); })),
              "Could not create XISF file " + missing);
    EXPECT_EQ(withoutReason(errorOf([&] { readXisfFile(QString::fromStdString(missing)); })),
              "Could not open XISF file " + missing);
}

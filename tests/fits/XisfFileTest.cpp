#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <tuple>

#include <QtEndian>

#include "fits/XisfFile.h"
#include "support/TestSupport.h"

namespace {

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
QByteArray handBuilt(const QString& content, const QByteArray& block = "", const QByteArray& signature = "XISF0100")
{
    const QByteArray xml = R"(<?xml version="1.0" encoding="UTF-8"?><xisf version="1.0" )"
                           R"(xmlns="http://www.pixinsight.com/xisf">)" + content.toUtf8() + "</xisf>";
    QByteArray file = signature + QByteArray(8, '\0') + xml;
    qToLittleEndian(quint32(xml.size()), file.data() + 8);
    return file + QByteArray(1024 - file.size(), '\0') + block;
}

// A 4:3:1 UInt8 image in a 12-byte block at 1024, its Image element with `from` replaced by `to`.
QByteArray imageFile(const QString& from = "<", const QString& to = "<")
{
    const QString image = R"(<Image geometry="4:3:1" sampleFormat="UInt8" location="attachment:1024:12"></Image>)";
    return handBuilt(QString(image).replace(from, to), QByteArray(12, '\x07'));
}

}  // namespace

TEST(XisfFile, EveryFormatRoundTripsAndAFailedWriteLeavesTheEarlierFileIntactAndNoTemporary)
{
    const TempDir dir;
    const std::string file = dir.file("frame.xisf"), missing = dir.file("missing/frame.xisf");
    const QString path = QString::fromStdString(file), lost = QString::fromStdString(missing);
    const QList<XisfKeyword> keywords = {{"OBJECT", "'M 31/NGC 224'", "<Andromeda> & \"friends\""},
                                         {"EXPTIME", "30.0", ""}, {"HISTORY", "", "a 'quoted' &amp; <b> in Ångström"}};
    std::mt19937 random(11);
    XisfImage image;
    for (const auto& [format, sampleBytes] : {std::pair{XisfSampleFormat::UInt8, 1}, {XisfSampleFormat::UInt16, 2},
                                              {XisfSampleFormat::UInt32, 4}, {XisfSampleFormat::Float32, 4}}) {
        for (int channels : {1, 3}) {
            // Random bytes differ from sample to sample, so a swapped byte or plane shows.
            image = {5, 3, channels, format, channels == 3, QByteArray(5 * 3 * channels * sampleBytes, '\0'), keywords};
            for (char& byte : image.pixels)
                byte = char(random());
            writeXisfFile(path, image);

            // The header ends where its length says: the reader stops at the first Image and would not notice
            // otherwise. Where the block lies needs no check of its own: the hand-built files below pin how the
            // reader finds it, so reading back shows it.
            const QByteArray bytes = QByteArray::fromStdString(readFile(file));
            EXPECT_TRUE(bytes.mid(16, qFromLittleEndian<qint32>(bytes.constData() + 8)).trimmed().endsWith("</xisf>"));

            const XisfImage read = readXisfFile(path);
            EXPECT_EQ(std::tuple(read.width, read.height, read.channels, read.sampleFormat, read.rgb, read.pixels),
                      std::tuple(5, 3, channels, format, channels == 3, image.pixels)) << int(format);
            EXPECT_EQ(keywordLines(read.keywords), keywordLines(keywords));
        }
    }

    // The last image, three Float32 channels, stays through the failed writes that follow.
    const std::string before = readFile(file);
    const XisfImage wrong{5, 3, 3, XisfSampleFormat::Float32, true, image.pixels.chopped(3), {}};
    const std::string problem = "pixels hold 177 bytes, geometry 5:3:3 of Float32 needs 180";
    EXPECT_EQ(errorOf([&] { writeXisfFile(path, wrong); }), "Cannot write XISF file " + file + ": " + problem);
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { encodeXisf(wrong); }), "Cannot encode XISF image: " + problem);

    // A larger image fails past a file size limit, as on a full disk.
    const XisfImage large{64, 64, 3, XisfSampleFormat::Float32, true, QByteArray(64 * 64 * 3 * 4, '\x01'), {}};
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    const rlimit limit{before.size() + 1024, previous.rlim_max};
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string full = errorOf([&] { writeXisfFile(path, large); });
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, handler);
    EXPECT_EQ(withoutReason(full), "Could not write XISF file " + file);
    EXPECT_EQ(readFile(file), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    EXPECT_EQ(withoutReason(errorOf([&] { writeXisfFile(lost, image); })), "Could not create XISF file " + missing);
    EXPECT_EQ(withoutReason(errorOf([&] { readXisfFile(lost); })), "Could not open XISF file " + missing);
}

TEST(XisfRead, InterleavedBigEndianEmbeddedAndInlineBlocksComeBackPlanarAndLittleEndian)
{
    const QString keywords = R"(<FITSKeyword name="OBJECT" value="'M 31 &amp; M 32'" comment="&lt;target&gt;"/>)"
                             R"(<ColorFilterArray/><FITSKeyword name="EXPTIME" comment="&quot;s&quot;" value="30"/>)";
    const std::tuple<QString, QByteArray, QByteArray> cases[] = {
        // Two RGB pixels of UInt16 AB CD EF | GH IJ KL. A second Image, which would be refused, is never read.
        {"<Metadata><Property id=\"a\">x</Property></Metadata><Image geometry=\"2:1:3\" sampleFormat=\"UInt16\" "
         "colorSpace=\"RGB\" pixelStorage=\"Normal\" byteOrder=\"big\" location=\"attachment:1024:12\">" + keywords +
         "</Image><Image geometry=\"1:1\"/>", "ABCDEFGHIJKL", "BAHGDCJIFELK"},
        // Two channels of two 4-byte pixels: ABCD EFGH | IJKL MNOP becomes planes DCBA LKJI and HGFE PONM.
        {"<Image geometry=\"1:2:2\" sampleFormat=\"Float32\" pixelStorage=\"Normal\" byteOrder=\"big\" "
         "location=\"attachment:1024:16\">" + keywords + "</Image>", "ABCDEFGHIJKLMNOP", "DCBALKJIHGFEPONM"},
        // Base64 of ABCDEF broken across lines, and of ABCD inline among the keywords.
        {"<Image geometry=\"3:2:1\" sampleFormat=\"UInt8\" byteOrder=\"little\" pixelStorage=\"Planar\" "
         "location=\"embedded\">" + keywords + "<Data encoding=\"base64\">QUJD\n    REVG</Data></Image>", "", "ABCDEF"},
        {"<Image geometry=\"1:1:1\" sampleFormat=\"UInt32\" location=\"inline:base64\">QUJDRA==" + keywords +
         "</Image>", "", "ABCD"},
    };
    const std::vector<std::string> expected{"OBJECT='M 31 & M 32'/<target>", "EXPTIME=30/\"s\""};
    for (const auto& [content, block, pixels] : cases) {
        const XisfImage image = readXisf(handBuilt(content, block), "hand.xisf");
        EXPECT_EQ(image.pixels, pixels) << content.toStdString();
        EXPECT_EQ(keywordLines(image.keywords), expected);
    }
}

TEST(XisfRead, HostileFilesAreRefusedNamingTheFileAndWhatIsWrong)
{
    const std::pair<QByteArray, std::string> cases[] = {
        {"XISF0100", "No XISF 1.0 signature at the start of h.xisf"},
        {handBuilt("", "", "XISF0200"), "No XISF 1.0 signature at the start of h.xisf"},
        {imageFile().replace(8, 4, QByteArray("\0\0\1\0", 4)), "XISF header of 65536 bytes beyond the end of h.xisf"},
        {handBuilt("<Metadata/>"), "No Image element in the XISF header of h.xisf"},
        {imageFile().chopped(9), "XISF data block beyond the end of h.xisf"},
        {imageFile(":1024:", ":4294967296000:"), "XISF data block beyond the end of h.xisf"},
        {imageFile("4:3:1", "65535:1:1"),
         "XISF data block of 12 bytes in h.xisf, geometry 65535:1:1 of UInt8 needs 65535"},
        {imageFile("4:3:1", "2:2:3:1"), "Unsupported 3-D XISF image (geometry 2:2:3:1) in h.xisf"},
        {imageFile("4:3:1", "2:x:3"), "Malformed XISF geometry 2:x:3 in h.xisf"},
        {imageFile("4:3:1", "0:3:1"), "Unusable XISF image in h.xisf: a width, height or channel count below 1"},
        {imageFile("4:3:1", "65536:1:1"),
         "Unusable XISF image in h.xisf: a width, height or channel count above 65535"},
        {imageFile("\">", "\" colorSpace=\"RGB\">"),
         "Unusable XISF image in h.xisf: an RGB colour space with fewer than 3 channels"},
        {imageFile("\">", "\" colorSpace=\"CIELab\">"), "Unsupported XISF colour space CIELab in h.xisf"},
        {imageFile("UInt8", "Float64"), "Unsupported XISF sample format Float64 in h.xisf"},
        {imageFile("\">", "\" compression=\"zlib:12\">"),
         "Compressed XISF data blocks are not supported: compression zlib:12 in h.xisf"},
        {imageFile("attachment:1024", "path(@header_dir/a.xisb):0"),
         "Distributed XISF data blocks are not supported: location path(@header_dir/a.xisb):0:12 in h.xisf"},
        {imageFile(":12", ""), "Malformed XISF data block location attachment:1024 in h.xisf"},
        {imageFile("attachment:1024:12", "embedded"), "No Data element for the embedded XISF data block in h.xisf"},
        {imageFile("attachment:1024:12", "inline:hex"), "Unsupported XISF data encoding hex in h.xisf"},
        {imageFile("attachment:1024:12\">", "inline:base64\">B*=="), "Malformed base64 XISF data block in h.xisf"},
    };
    for (const auto& [file, message] : cases)
        EXPECT_EQ(errorOf([&] { readXisf(file, "h.xisf"); }), message);
    const std::string unclosed = errorOf([] { readXisf(handBuilt("<Image geometry=\"1:1:1\">"), "h.xisf"); });
    EXPECT_EQ(unclosed.rfind("Malformed XISF header in h.xisf: ", 0), 0u) << unclosed;
}

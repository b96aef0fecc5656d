#include "fits/XisfFile.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <QFile>
#include <QSaveFile>
#include <QStringList>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <QtEndian>

#include "core/ImageLimits.h"

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "XisfImage pixels are little-endian, the host's own order");

namespace {

constexpr char kSignature[] = "XISF0100";
constexpr int kSignatureSize = 8;
// The signature, the header's length and a reserved word come before the header.
constexpr int kPreambleSize = 16;
// A file is read whole into one QByteArray, which holds less than 2 GiB.
constexpr qint64 kMaxFileSize = qint64(1) << 30;
// The written data block starts on this boundary, which leaves the header room to grow.
constexpr qint64 kBlockAlignment = 4096;
const QString kNamespace = QStringLiteral("http://www.pixinsight.com/xisf");

const std::array<std::pair<XisfSampleFormat, const char*>, 4> kSampleFormatNames = {{
    {XisfSampleFormat::UInt8, "UInt8"},
    {XisfSampleFormat::UInt16, "UInt16"},
    {XisfSampleFormat::UInt32, "UInt32"},
    {XisfSampleFormat::Float32, "Float32"},
}};

std::runtime_error xisfError(const QString& message)
{
    return std::runtime_error(message.toStdString());
}

QString sampleFormatName(XisfSampleFormat format)
{
    for (const auto& [known, name] : kSampleFormatNames)
        if (known == format)
            return name;
    throw std::invalid_argument("Unknown XISF sample format");
}

QString geometryText(const XisfImage& image)
{
    return QString::number(image.width) + ':' + QString::number(image.height) + ':' +
           QString::number(image.channels);
}

// The product is at most 2^29 samples once geometryProblem() has passed, so it fits.
qint64 imageBytes(const XisfImage& image)
{
    return qint64(image.width) * image.height * image.channels * xisfBytesPerSample(image.sampleFormat);
}

// Why the geometry cannot be used, or nothing. Reading and writing share it,
// so whatever is written reads back.
QString geometryProblem(qint64 width, qint64 height, qint64 channels, bool rgb)
{
    if (width < 1 || height < 1 || channels < 1)
        return "a width, height or channel count below 1";
    if (width > kLargestSide || height > kLargestSide || channels > kLargestSide)
        return "a width, height or channel count above 65535";
    if (!isLoadableSize(width, height, channels))
        return "more than " + QString::number(kLargestSampleCount) + " samples";
    if (rgb && channels < 3)
        return "an RGB colour space with fewer than 3 channels";
    return {};
}

// ---- Reading

// Digits only, and few enough that sums of two values cannot overflow.
std::optional<qint64> decimal(const QString& text)
{
    const bool digits = !text.isEmpty() && text.size() <= 18 &&
                        std::all_of(text.begin(), text.end(), [](QChar c) { return c >= '0' && c <= '9'; });
    return digits ? std::optional<qint64>(text.toLongLong()) : std::nullopt;
}

struct DataElement {
    QXmlStreamAttributes attributes;
    QString text;
};

// What the reader uses of the first Image element.
struct ImageElement {
    QXmlStreamAttributes attributes;
    QList<XisfKeyword> keywords;
    QString text;                     // the element's own characters: an inline data block
    std::optional<DataElement> data;  // a Data child: an embedded data block
};

QString attribute(const QXmlStreamAttributes& attributes, const char* name)
{
    return attributes.value(QLatin1String(name)).toString();
}

std::runtime_error malformedHeader(const QString& reason, const QString& name)
{
    return xisfError("Malformed XISF header in " + name + ": " + reason);
}

std::runtime_error malformedHeader(const QXmlStreamReader& xml, const QString& name)
{
    return malformedHeader(xml.errorString() + " at line " + QString::number(xml.lineNumber()), name);
}

// The header's bytes, once the signature is right and the header lies within the file.
QByteArray headerOf(const QByteArray& file, const QString& name)
{
    if (file.size() < kPreambleSize || std::memcmp(file.constData(), kSignature, kSignatureSize) != 0)
        throw xisfError("No XISF 1.0 signature at the start of " + name);
    const quint32 length = qFromLittleEndian<quint32>(file.constData() + kSignatureSize);
    if (length > quint32(file.size() - kPreambleSize))
        throw xisfError("XISF header of " + QString::number(length) + " bytes beyond the end of " + name);
    return file.mid(kPreambleSize, int(length));
}

void readImageChild(QXmlStreamReader& xml, ImageElement& image)
{
    if (xml.name() == QLatin1String("FITSKeyword")) {
        const QXmlStreamAttributes attributes = xml.attributes();
        image.keywords.append({attribute(attributes, "name"), attribute(attributes, "value"),
                               attribute(attributes, "comment")});
        xml.skipCurrentElement();
    } else if (xml.name() == QLatin1String("Data")) {
        image.data = DataElement{xml.attributes(), {}};
        image.data->text = xml.readElementText();
    } else {
        xml.skipCurrentElement();
    }
}

// Reads the Image element the reader has just entered, up to its end.
ImageElement readImageElement(QXmlStreamReader& xml)
{
    ImageElement image;
    image.attributes = xml.attributes();
    // Children are read whole, so the first end element is the Image's own.
    while (xml.readNext() != QXmlStreamReader::EndElement && !xml.atEnd()) {
        if (xml.isCharacters())
            image.text += xml.text();
        else if (xml.isStartElement())
            readImageChild(xml, image);
    }
    return image;
}

// Stops at the end of the first Image: what follows it is never looked at.
ImageElement firstImageElement(const QByteArray& header, const QString& name)
{
    QXmlStreamReader xml(header);
    if (!xml.readNextStartElement())
        throw malformedHeader(xml, name);
    if (xml.name() != QLatin1String("xisf"))
        throw malformedHeader("root element " + xml.name().toString() + " instead of xisf", name);
    const QString version = attribute(xml.attributes(), "version");
    if (version != QLatin1String("1.0"))
        throw xisfError("Unsupported XISF version " + version + " in " + name);
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("Image")) {
            xml.skipCurrentElement();
            continue;
        }
        ImageElement image = readImageElement(xml);
        if (xml.hasError())
            throw malformedHeader(xml, name);
        return image;
    }
    if (xml.hasError())
        throw malformedHeader(xml, name);
    throw xisfError("No Image element in the XISF header of " + name);
}

// Whether the attribute holds `alternative`; absent or `usual`, it does not, and any other value is refused.
bool holdsAlternative(const QXmlStreamAttributes& attributes, const char* key, const char* usual,
                      const char* alternative, const QString& what, const QString& name)
{
    const QString value = attribute(attributes, key);
    if (value.isEmpty() || value == QLatin1String(usual))
        return false;
    if (value == QLatin1String(alternative))
        return true;
    throw xisfError("Unsupported XISF " + what + " " + value + " in " + name);
}

XisfSampleFormat sampleFormatOf(const QString& text, const QString& name)
{
    for (const auto& [format, formatName] : kSampleFormatNames)
        if (text == QLatin1String(formatName))
            return format;
    throw xisfError("Unsupported XISF sample format " + text + " in " + name);
}

// Sets width, height and channels from "W:H:C".
void readGeometry(const QString& text, XisfImage& image, const QString& name)
{
    std::vector<qint64> numbers;
    for (const QString& part : text.split(':')) {
        const std::optional<qint64> number = decimal(part);
        if (!number)
            throw xisfError("Malformed XISF geometry " + text + " in " + name);
        numbers.push_back(*number);
    }
    if (numbers.size() < 2)
        throw xisfError("Malformed XISF geometry " + text + " in " + name);
    if (numbers.size() != 3)
        throw xisfError("Unsupported " + QString::number(numbers.size() - 1) + "-D XISF image (geometry " + text +
                        ") in " + name);
    const QString problem = geometryProblem(numbers[0], numbers[1], numbers[2], image.rgb);
    if (!problem.isEmpty())
        throw xisfError("Unusable XISF image in " + name + ": " + problem);
    image.width = int(numbers[0]);
    image.height = int(numbers[1]);
    image.channels = int(numbers[2]);
}

// Everything but the pixels.
XisfImage imageDescribedBy(const ImageElement& element, const QString& name)
{
    XisfImage image;
    image.rgb = holdsAlternative(element.attributes, "colorSpace", "Gray", "RGB", "colour space", name);
    readGeometry(attribute(element.attributes, "geometry"), image, name);
    image.sampleFormat = sampleFormatOf(attribute(element.attributes, "sampleFormat"), name);
    image.keywords = element.keywords;
    return image;
}

void refuseCompression(const ImageElement& element, const QString& name)
{
    QString compression = attribute(element.attributes, "compression");
    if (compression.isEmpty() && element.data)
        compression = attribute(element.data->attributes, "compression");
    if (!compression.isEmpty())
        throw xisfError("Compressed XISF data blocks are not supported: compression " + compression + " in " +
                        name);
}

QByteArray decodedBlock(const QString& encoding, const QString& text, const QString& name)
{
    if (encoding != QLatin1String("base64"))
        throw xisfError("Unsupported XISF data encoding " + encoding + " in " + name);
    // XML may break the text into lines anywhere.
    const QByteArray encoded = text.simplified().remove(' ').toLatin1();
    const auto decoded = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        throw xisfError("Malformed base64 XISF data block in " + name);
    return *decoded;
}

// A view into the file, not a copy: nothing is allocated before the size is checked.
QByteArray attachedBlock(const QByteArray& file, const QStringList& location, const QString& name)
{
    const std::optional<qint64> position = decimal(location[1]);
    const std::optional<qint64> size = decimal(location[2]);
    if (!position || !size)
        throw xisfError("Malformed XISF data block location " + location.join(':') + " in " + name);
    if (*position + *size > file.size())
        throw xisfError("XISF data block beyond the end of " + name);
    return QByteArray::fromRawData(file.constData() + *position, int(*size));
}

QByteArray dataBlock(const QByteArray& file, const ImageElement& element, const QString& name)
{
    const QString location = attribute(element.attributes, "location");
    const QStringList parts = location.split(':');
    if (parts.size() == 3 && parts[0] == QLatin1String("attachment"))
        return attachedBlock(file, parts, name);
    if (location == QLatin1String("embedded")) {
        if (!element.data)
            throw xisfError("No Data element for the embedded XISF data block in " + name);
        return decodedBlock(attribute(element.data->attributes, "encoding"), element.data->text, name);
    }
    if (parts.size() == 2 && parts[0] == QLatin1String("inline"))
        return decodedBlock(parts[1], element.text, name);
    if (location.startsWith(QLatin1String("path(")) || location.startsWith(QLatin1String("url(")))
        throw xisfError("Distributed XISF data blocks are not supported: location " + location + " in " + name);
    throw xisfError("Malformed XISF data block location " + location + " in " + name);
}

void checkBlockSize(const QByteArray& block, const XisfImage& image, const QString& name)
{
    const qint64 needed = imageBytes(image);
    if (block.size() != needed)
        throw xisfError("XISF data block of " + QString::number(block.size()) + " bytes in " + name +
                        ", geometry " + geometryText(image) + " of " + sampleFormatName(image.sampleFormat) +
                        " needs " + QString::number(needed));
}

void reverseSampleBytes(QByteArray& samples, int bytesPerSample)
{
    char* data = samples.data();
    for (int i = 0; i < samples.size(); i += bytesPerSample)
        std::reverse(data + i, data + i + bytesPerSample);
}

QByteArray toPlanar(const QByteArray& interleaved, const XisfImage& image)
{
    const qint64 pixelCount = qint64(image.width) * image.height;
    const int sampleBytes = xisfBytesPerSample(image.sampleFormat);
    QByteArray planar(interleaved.size(), Qt::Uninitialized);
    char* out = planar.data();
    const char* in = interleaved.constData();
    for (qint64 pixel = 0; pixel < pixelCount; ++pixel)
        for (qint64 channel = 0; channel < image.channels; ++channel)
            std::memcpy(out + (channel * pixelCount + pixel) * sampleBytes,
                        in + (pixel * image.channels + channel) * sampleBytes, sampleBytes);
    return planar;
}

// The block's samples in a buffer of their own, planar and little-endian.
QByteArray pixelsOf(const QByteArray& block, const ImageElement& element, const XisfImage& image,
                    const QString& name)
{
    const bool interleaved =
        holdsAlternative(element.attributes, "pixelStorage", "Planar", "Normal", "pixel storage", name);
    const bool bigEndian = holdsAlternative(element.attributes, "byteOrder", "little", "big", "byte order", name);
    QByteArray samples(block.constData(), block.size());
    if (bigEndian)
        reverseSampleBytes(samples, xisfBytesPerSample(image.sampleFormat));
    return interleaved ? toPlanar(samples, image) : samples;
}

// ---- Writing

// Why the image cannot be written so that it reads back, or nothing.
QString encodingProblem(const XisfImage& image)
{
    const QString problem = geometryProblem(image.width, image.height, image.channels, image.rgb);
    if (!problem.isEmpty())
        return problem;
    const qint64 needed = imageBytes(image);
    if (image.pixels.size() != needed)
        return "pixels hold " + QString::number(image.pixels.size()) + " bytes, geometry " + geometryText(image) +
               " of " + sampleFormatName(image.sampleFormat) + " needs " + QString::number(needed);
    return {};
}

QByteArray headerXml(const XisfImage& image, qint64 blockPosition)
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeDefaultNamespace(kNamespace);
    writer.writeStartElement(kNamespace, "xisf");
    writer.writeAttribute("version", "1.0");
    writer.writeStartElement(kNamespace, "Image");
    writer.writeAttribute("geometry", geometryText(image));
    writer.writeAttribute("sampleFormat", sampleFormatName(image.sampleFormat));
    writer.writeAttribute("colorSpace", image.rgb ? "RGB" : "Gray");
    writer.writeAttribute("pixelStorage", "Planar");
    writer.writeAttribute("location", "attachment:" + QString::number(blockPosition) + ':' +
                                          QString::number(image.pixels.size()));
    for (const XisfKeyword& keyword : image.keywords) {
        writer.writeEmptyElement(kNamespace, "FITSKeyword");
        writer.writeAttribute("name", keyword.name);
        writer.writeAttribute("value", keyword.value);
        writer.writeAttribute("comment", keyword.comment);
    }
    writer.writeEndDocument();
    return xml;
}

QByteArray preamble(int headerLength)
{
    QByteArray bytes(kPreambleSize, '\0');  // the reserved word stays zero
    std::memcpy(bytes.data(), kSignature, kSignatureSize);
    qToLittleEndian<quint32>(quint32(headerLength), bytes.data() + kSignatureSize);
    return bytes;
}

qint64 alignedUp(qint64 offset)
{
    return (offset + kBlockAlignment - 1) / kBlockAlignment * kBlockAlignment;
}

}  // namespace

int xisfBytesPerSample(XisfSampleFormat format)
{
    switch (format) {
    case XisfSampleFormat::UInt8: return 1;
    case XisfSampleFormat::UInt16: return 2;
    case XisfSampleFormat::UInt32:
    case XisfSampleFormat::Float32: return 4;
    }
    throw std::invalid_argument("Unknown XISF sample format");
}

XisfImage readXisf(const QByteArray& file, const QString& name)
{
    const ImageElement element = firstImageElement(headerOf(file, name), name);
    XisfImage image = imageDescribedBy(element, name);
    refuseCompression(element, name);
    const QByteArray block = dataBlock(file, element, name);
    checkBlockSize(block, image, name);
    image.pixels = pixelsOf(block, element, image, name);
    return image;
}

XisfImage readXisfFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw xisfError("Could not open XISF file " + path + " (" + file.errorString() + ")");
    if (file.size() > kMaxFileSize)
        throw xisfError("XISF file " + path + " is larger than 1 GiB");
    const QByteArray bytes = file.readAll();
    if (bytes.size() != file.size())
        throw xisfError("Could not read XISF file " + path + " (" + file.errorString() + ")");
    return readXisf(bytes, path);
}

QByteArray encodeXisf(const XisfImage& image)
{
    const QString problem = encodingProblem(image);
    if (!problem.isEmpty())
        throw std::invalid_argument(("Cannot encode XISF image: " + problem).toStdString());
    // The header names the block's position, so the position comes first; it
    // moves on by a boundary should the header outgrow the room before it.
    qint64 blockPosition = 0;
    QByteArray header;
    do {
        blockPosition = alignedUp(kPreambleSize + header.size());
        header = headerXml(image, blockPosition);
    } while (kPreambleSize + header.size() > blockPosition);
    QByteArray file = preamble(header.size()) + header;
    file.append(int(blockPosition - file.size()), '\0');
    file.append(image.pixels);
    return file;
}

void writeXisfFile(const QString& path, const XisfImage& image)
{
    const QString problem = encodingProblem(image);
    if (!problem.isEmpty())
        throw xisfError("Cannot write XISF file " + path + ": " + problem);
    const QByteArray bytes = encodeXisf(image);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw xisfError("Could not create XISF file " + path + " (" + file.errorString() + ")");
    // Uncommitted, QSaveFile removes its temporary and the earlier file stays.
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw xisfError("Could not write XISF file " + path + " (" + file.errorString() + ")");
}

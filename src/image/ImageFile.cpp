#include "image/ImageFile.h"

#include <cctype>
#include <stdexcept>

#include "image/FitsFile.h"
#include "image/JpegFile.h"

namespace {

enum class Format { Jpeg, Fits };

Format formatOf(const std::string& path)
{
    const std::string extension = fileExtension(path);
    if (extension == "jpg" || extension == "jpeg")
        return Format::Jpeg;
    if (isFitsFile(path))
        return Format::Fits;
    throw std::runtime_error("Unsupported file format: " + extension);
}

}  // namespace

std::string fileExtension(const std::string& path)
{
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos)
        return "";
    std::string extension = path.substr(dot + 1);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

bool isFitsFile(const std::string& path)
{
    const std::string extension = fileExtension(path);
    return extension == "fit" || extension == "fits";
}

ByteImagePtr loadImage(const std::string& path)
{
    return formatOf(path) == Format::Jpeg ? readJpeg(path) : readFits(path);
}

void saveImage(const std::string& path, const ByteImagePtr& image)
{
    if (formatOf(path) == Format::Jpeg)
        writeJpeg(path, image);
    else
        writeFits(path, image);
}

FloatImagePtr loadFloatImage(const std::string& path)
{
    return formatOf(path) == Format::Jpeg ? toFloat(*readJpeg(path)) : readFloatFits(path);
}

void saveImage(const std::string& path, const FloatImagePtr& image)
{
    if (formatOf(path) == Format::Jpeg)
        writeJpeg(path, toEightBit(*image));
    else
        writeFits(path, image);
}

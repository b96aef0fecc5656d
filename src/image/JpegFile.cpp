#include "image/JpegFile.h"

#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "core/ImageLimits.h"
#include "image/AtomicFile.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// libjpeg hands the error manager back as a jpeg_error_mgr*; keeping it the
// first member lets us reach the jump buffer and the reason beside it.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char reason[JMSG_LENGTH_MAX];
};

[[noreturn]] void jumpToCaller(j_common_ptr info)
{
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    errors->base.format_message(info, errors->reason);
    std::longjmp(errors->jump, 1);
}

// Warnings that say nothing about the pixels: an unknown marker revision or
// colour-transform code, or scan parameters some encoders write loosely.
bool isBenign(int messageCode)
{
    return messageCode == JWRN_ADOBE_XFORM || messageCode == JWRN_JFIF_MAJOR || messageCode == JWRN_NOT_SEQUENTIAL;
}

// libjpeg only warns about damaged entropy-coded data (a flipped bit, a
// scribbled block, a stream cut short) and decodes on with grey or shifted
// blocks; such a frame must fail like an unreadable one, never be stacked.
void onMessage(j_common_ptr info, int level)
{
    if (level < 0 && !isBenign(info->err->msg_code))
        jumpToCaller(info);
}

void discardMessage(j_common_ptr) {}

// Owns a libjpeg compressor or decompressor with its error manager. The
// struct starts zeroed, so destroying one that was never created (or whose
// creation failed) is harmless.
template <typename Info>
class JpegObject {
public:
    JpegObject()
    {
        info_.err = jpeg_std_error(&errors_.base);
        errors_.base.error_exit = jumpToCaller;
        errors_.base.emit_message = onMessage;
        errors_.base.output_message = discardMessage;
    }
    ~JpegObject() { jpeg_destroy(reinterpret_cast<j_common_ptr>(&info_)); }
    JpegObject(const JpegObject&) = delete;
    JpegObject& operator=(const JpegObject&) = delete;

    Info* info() { return &info_; }
    std::jmp_buf& jump() { return errors_.jump; }
    // libjpeg's text for the error or warning that stopped it.
    const char* reason() const { return errors_.reason; }

private:
    ErrorManager errors_{};
    Info info_{};
};

using Decoder = JpegObject<jpeg_decompress_struct>;
using Encoder = JpegObject<jpeg_compress_struct>;

// The functions below call libjpeg under setjmp. A fatal error longjmps back
// into them, so they and everything they call hold no object with a
// destructor; they report failure by returning false.

bool readHeader(Decoder& decoder, const unsigned char* data, std::size_t size)
{
    jpeg_decompress_struct* info = decoder.info();
    if (setjmp(decoder.jump()))
        return false;
    jpeg_create_decompress(info);
    jpeg_mem_src(info, data, static_cast<unsigned long>(size));
    jpeg_save_markers(info, JPEG_COM, 0xFFFF);
    return jpeg_read_header(info, TRUE) == JPEG_HEADER_OK;
}

// Called once the header's size has been checked: a progressive file makes
// libjpeg allocate a buffer for the whole image here.
bool startDecoding(Decoder& decoder)
{
    jpeg_decompress_struct* info = decoder.info();
    if (setjmp(decoder.jump()))
        return false;
    jpeg_start_decompress(info);
    return true;
}

// Decodes each scanline straight into its row of the buffer.
bool decodeRows(Decoder& decoder, unsigned char* pixels)
{
    jpeg_decompress_struct* info = decoder.info();
    if (setjmp(decoder.jump()))
        return false;
    const std::size_t stride = std::size_t(info->output_width) * info->output_components;
    while (info->output_scanline < info->output_height) {
        JSAMPROW row = pixels + info->output_scanline * stride;
        jpeg_read_scanlines(info, &row, 1);
    }
    jpeg_finish_decompress(info);
    return true;
}

bool encode(Encoder& encoder, std::FILE* file, const ByteImage& image, const std::string& comment)
{
    jpeg_compress_struct* info = encoder.info();
    if (setjmp(encoder.jump()))
        return false;
    jpeg_create_compress(info);
    jpeg_stdio_dest(info, file);
    info->image_width = JDIMENSION(image.width());
    info->image_height = JDIMENSION(image.height());
    info->input_components = image.channels();
    info->in_color_space = image.channels() == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(info);
    jpeg_set_quality(info, 95, TRUE);
    jpeg_start_compress(info, TRUE);
    if (!comment.empty())
        jpeg_write_marker(info, JPEG_COM, reinterpret_cast<const JOCTET*>(comment.data()),
                          static_cast<unsigned int>(comment.size()));
    const std::size_t stride = std::size_t(image.width()) * image.channels();
    while (info->next_scanline < info->image_height) {
        // libjpeg only reads the rows it is given.
        JSAMPROW row = const_cast<unsigned char*>(image.data()) + info->next_scanline * stride;
        jpeg_write_scanlines(info, &row, 1);
    }
    jpeg_finish_compress(info);
    return true;
}

std::vector<unsigned char> fileBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("Could not open file: " + path);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad())
        throw std::runtime_error("Could not read file: " + path);
    return bytes;
}

std::runtime_error invalidJpeg(const std::string& name, Decoder& decoder)
{
    const std::string reason = decoder.reason();
    return std::runtime_error("Invalid JPEG file: " + name + (reason.empty() ? "" : " (" + reason + ")"));
}

// The text of the header's first comment marker; empty when it has none.
std::string firstComment(const jpeg_decompress_struct& info)
{
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next)
        if (marker->marker == JPEG_COM)
            return std::string(reinterpret_cast<const char*>(marker->data), marker->data_length);
    return {};
}

}  // namespace

ByteImagePtr decodeJpeg(const unsigned char* data, std::size_t size, const std::string& name)
{
    Decoder decoder;
    if (!readHeader(decoder, data, size))
        throw invalidJpeg(name, decoder);
    const jpeg_decompress_struct* info = decoder.info();
    requireLoadableSize(info->image_width, info->image_height, info->num_components, name);
    if (!startDecoding(decoder))
        throw invalidJpeg(name, decoder);
    auto image = std::make_shared<ByteImage>(int(info->output_width), int(info->output_height),
                                             info->output_components);
    if (!decodeRows(decoder, image->data()))
        throw invalidJpeg(name, decoder);
    return image;
}

ByteImagePtr readJpeg(const std::string& path)
{
    const std::vector<unsigned char> bytes = fileBytes(path);
    return decodeJpeg(bytes.data(), bytes.size(), path);
}

std::string readJpegComment(const std::string& path)
{
    const std::vector<unsigned char> bytes = fileBytes(path);
    Decoder decoder;
    if (!readHeader(decoder, bytes.data(), bytes.size()))
        throw invalidJpeg(path, decoder);
    return firstComment(*decoder.info());
}

void writeJpeg(const std::string& path, const ByteImagePtr& image, const std::string& comment)
{
    AtomicFile target(path);
    FilePtr file(std::fopen(target.tempPath().c_str(), "wb"));
    if (!file)
        throw std::runtime_error("Could not open file for writing: " + path);
    Encoder encoder;
    // A full disk may only show when the last buffered bytes are flushed.
    if (!encode(encoder, file.get(), *image, comment) || std::fclose(file.release()) != 0)
        throw std::runtime_error("Could not write JPEG file: " + path);
    target.commit();
}

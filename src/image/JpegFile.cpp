#include "image/JpegFile.h"

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include <jpeglib.h>
#include <jerror.h>

#include "image/AtomicFile.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// libjpeg hands the error manager back as a jpeg_error_mgr*; keeping it the
// first member lets us reach the jump buffer beside it.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void jumpToCaller(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// Warnings stay silent, except that libjpeg-turbo only warns about a stream
// cut short and fills the missing rows with grey.
void onMessage(j_common_ptr info, int level)
{
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
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

private:
    ErrorManager errors_{};
    Info info_{};
};

using Decoder = JpegObject<jpeg_decompress_struct>;
using Encoder = JpegObject<jpeg_compress_struct>;

// The functions below call libjpeg under setjmp. A fatal error longjmps back
// into them, so they and everything they call hold no object with a
// destructor; they report failure by returning false.

bool startDecoding(Decoder& decoder, std::FILE* file)
{
    jpeg_decompress_struct* info = decoder.info();
    if (setjmp(decoder.jump()))
        return false;
    jpeg_create_decompress(info);
    jpeg_stdio_src(info, file);
    if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK)
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

bool encode(Encoder& encoder, std::FILE* file, const ByteImage& image)
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
    const std::size_t stride = std::size_t(image.width()) * image.channels();
    while (info->next_scanline < info->image_height) {
        // libjpeg only reads the rows it is given.
        JSAMPROW row = const_cast<unsigned char*>(image.data()) + info->next_scanline * stride;
        jpeg_write_scanlines(info, &row, 1);
    }
    jpeg_finish_compress(info);
    return true;
}

}  // namespace

ByteImagePtr readJpeg(const std::string& path)
{
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw std::runtime_error("Could not open file: " + path);
    Decoder decoder;
    if (!startDecoding(decoder, file.get()))
        throw std::runtime_error("Invalid JPEG file: " + path);
    const jpeg_decompress_struct* info = decoder.info();
    auto image = std::make_shared<ByteImage>(int(info->output_width), int(info->output_height),
                                             info->output_components);
    if (!decodeRows(decoder, image->data()))
        throw std::runtime_error("Invalid JPEG file: " + path);
    return image;
}

void writeJpeg(const std::string& path, const ByteImagePtr& image)
{
    AtomicFile target(path);
    FilePtr file(std::fopen(target.tempPath().c_str(), "wb"));
    if (!file)
        throw std::runtime_error("Could not open file for writing: " + path);
    Encoder encoder;
    // A full disk may only show when the last buffered bytes are flushed.
    if (!encode(encoder, file.get(), *image) || std::fclose(file.release()) != 0)
        throw std::runtime_error("Could not write JPEG file: " + path);
    target.commit();
}

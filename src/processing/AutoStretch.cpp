#include "processing/AutoStretch.h"

#include <vector>

#include <QImage>

#include <fitsio.h>

#include "core/Timer.h"
#include "fits/Stretch.h"

namespace {

std::vector<float> planarCopy(const FloatImage& image)
{
    const std::size_t pixels = std::size_t(image.width()) * std::size_t(image.height());
    const std::size_t channels = std::size_t(image.channels());
    std::vector<float> planes(image.size());
    const float* in = image.data();
    for (std::size_t i = 0; i < pixels; ++i)
        for (std::size_t c = 0; c < channels; ++c)
            planes[c * pixels + i] = in[i * channels + c];
    return planes;
}

}  // namespace

ByteImagePtr autoStretch(const FloatImage& image)
{
    Timer timer("Automatic stretch");
    const std::vector<float> planes = planarCopy(image);
    const QImage screen = stretchedImage(reinterpret_cast<const uint8_t*>(planes.data()), image.width(),
                                         image.height(), image.channels(), TFLOAT);
    auto picture = std::make_shared<ByteImage>(image.width(), image.height(), image.channels());
    unsigned char* out = picture->data();
    for (int y = 0; y < image.height(); ++y) {
        const uchar* line = screen.constScanLine(y);
        unsigned char* row = out + std::size_t(y) * std::size_t(image.width()) * std::size_t(image.channels());
        for (int x = 0; x < image.width(); ++x) {
            if (image.channels() == 1) {
                row[x] = line[x];
                continue;
            }
            const QRgb pixel = reinterpret_cast<const QRgb*>(line)[x];
            row[3 * x] = static_cast<unsigned char>(qRed(pixel));
            row[3 * x + 1] = static_cast<unsigned char>(qGreen(pixel));
            row[3 * x + 2] = static_cast<unsigned char>(qBlue(pixel));
        }
    }
    return picture;
}

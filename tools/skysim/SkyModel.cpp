#include "SkyModel.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "FrameTransforms.h"

namespace {

// Rows rendered by one thread at a time: enough to amortise the pass over
// the star list, few enough to keep every thread busy to the end.
constexpr int kBandRows = 8;

}  // namespace

SkyModel::SkyModel(std::vector<Star> stars, const MoffatProfile& profile, const SkyBackground& background)
    : stars_(std::move(stars)), profile_(profile), background_(background)
{
}

FloatImagePtr SkyModel::render(const cv::Matx33d& toReference, int width, int height, int channels) const
{
    auto image = std::make_shared<FloatImage>(width, height, channels);
    const std::vector<Sprite> sprites = spritesIn(toReference, width, height, channels);
    const int bands = (height + kBandRows - 1) / kBandRows;
    // Each band writes only its own rows, and every pixel adds the stars in
    // the same order, so the result does not depend on the thread count.
#pragma omp parallel for schedule(dynamic)
    for (int band = 0; band < bands; ++band) {
        const int end = std::min(height, (band + 1) * kBandRows);
        for (int y = band * kBandRows; y < end; ++y) {
            renderBackgroundRow(toReference, y, *image);
            for (const Sprite& sprite : sprites)
                renderSpriteRow(sprite, y, *image);
        }
    }
    return image;
}

std::vector<SkyModel::Sprite> SkyModel::spritesIn(const cv::Matx33d& toReference, int width, int height,
                                                  int channels) const
{
    const cv::Matx33d toFrame = toReference.inv();
    std::vector<Sprite> sprites;
    for (const Star& star : stars_) {
        const cv::Point2d p = applyTransform(toFrame, star.position);
        const MoffatProfile::Cut cut = profile_.cutFor(star.flux);
        const double reach = cut.radius + 0.5;
        if (p.x < -reach || p.y < -reach || p.x > width - 1 + reach || p.y > height - 1 + reach)
            continue;
        const double peak = profile_.peakFor(star.flux, cut);
        ChannelLevels levels{peak, 0.0, 0.0};
        if (channels == 3)
            levels = {peak * star.colour[0], peak * star.colour[1], peak * star.colour[2]};
        sprites.push_back({p, cut, levels});
    }
    return sprites;
}

void SkyModel::renderBackgroundRow(const cv::Matx33d& toReference, int y, FloatImage& image) const
{
    const int channels = image.channels();
    float* row = image.data() + std::size_t(y) * image.width() * channels;
    for (int x = 0; x < image.width(); ++x) {
        const ChannelLevels levels = background_.at(applyTransform(toReference, cv::Point2d(x, y)), channels);
        for (int c = 0; c < channels; ++c)
            row[x * channels + c] = float(levels[std::size_t(c)]);
    }
}

void SkyModel::renderSpriteRow(const Sprite& sprite, int y, FloatImage& image) const
{
    const double dy = y - sprite.position.y;
    const double reach = sprite.cut.radius + 0.5;
    if (std::abs(dy) > reach)
        return;
    const int channels = image.channels();
    const int first = std::max(0, int(std::ceil(sprite.position.x - reach)));
    const int last = std::min(image.width() - 1, int(std::floor(sprite.position.x + reach)));
    float* row = image.data() + std::size_t(y) * image.width() * channels;
    for (int x = first; x <= last; ++x) {
        const double value = profile_.pixelMean(x - sprite.position.x, dy, sprite.cut);
        for (int c = 0; c < channels; ++c)
            row[x * channels + c] += float(value * sprite.peak[std::size_t(c)]);
    }
}

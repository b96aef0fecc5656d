#pragma once

#include <cstddef>
#include <cstdint>

#include <QImage>

// One channel's screen curve, in fractions of the input range: samples below
// shadows turn black, those at or above highlights white, and midtones is
// the point of shadows ... highlights (as a fraction of it) that turns
// mid-grey. The expansions are carried for callers; rendering ignores them.
struct StretchParams1Channel {
    float shadows = 0.0f;
    float highlights = 1.0f;
    float midtones = 0.5f;
    float shadows_expansion = 0.0f;
    float highlights_expansion = 1.0f;
};

// grey_red serves a one-channel image.
struct StretchParams {
    StretchParams1Channel grey_red, green, blue;
};

// Renders a raw image buffer (planar channels, each row-major from row 0, in
// one of the eight CFITSIO sample types) as an 8-bit screen image through a
// midtones transfer curve per channel.
//
// The input range is 256 for TBYTE and 65536 otherwise, except that
// floating data whose probe (every 1000th sample) peaks at no more than
// 1.01 is taken as normalised and gets range 1, for good.
class Stretch {
public:
    Stretch(int width, int height, int channels, int dataType);

    void setParams(const StretchParams& params) { params_ = params; }
    StretchParams getParams() const { return params_; }

    // An automatic stretch of each channel of a one- or three-channel image
    // from its median and median absolute deviation (MAD, scaled by 1.4826):
    // a dark channel (median at most half the input range) clips its
    // shadows 2.8 deviations below the median and its midtones bring the
    // median to about a quarter of the output; a bright one clips its
    // highlights 2.8 deviations above and brings the median to about three
    // quarters. NaN samples are left out; a channel without other samples
    // keeps the defaults, as do unused channels. The stored parameters are
    // not changed.
    StretchParams computeParams(const uint8_t* buffer);

    // Renders with the stored parameters, output pixel (x, y) from input
    // sample (x * sampling, y * sampling). The caller prepares output with
    // ceil(width / sampling) x ceil(height / sampling) pixels: Format_Indexed8
    // with a grey palette for one channel, Format_RGB32 for three. NaN
    // samples render black. Does nothing for other channel counts, a
    // sampling below 1 or an output of another size or format.
    void run(const uint8_t* buffer, QImage* output, int sampling);

private:
    void recalculateInputRange(const uint8_t* buffer);
    bool fitsOutput(const QImage& output, int sampling) const;
    // 1 or 3; 0 for channel counts the stretch does not render.
    int renderedChannels() const;
    std::size_t samplesPerChannel() const { return std::size_t(width_) * std::size_t(height_); }

    int width_;
    int height_;
    int channels_;
    int dataType_;
    double inputRange_;
    StretchParams params_;
};

// The automatically stretched screen image of a buffer laid out as Stretch
// takes it, at ceil(width / sampling) x ceil(height / sampling) pixels; a
// null image for a null buffer, an empty image, a sampling below 1, a data
// type outside the eight or a channel count other than 1 and 3.
QImage stretchedImage(const uint8_t* buffer, int width, int height, int channels, int dataType, int sampling = 1);

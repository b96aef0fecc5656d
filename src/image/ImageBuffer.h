#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

// Storage that comes zeroed from calloc, which for a frame-sized block hands
// out fresh pages that are zero already: a new image is then not written
// twice (zeros, then its samples), and on a virtual machine the first write
// to a page is most of what writing a frame costs. Elements made without a
// value are left as calloc gave them; a value is written as usual.
template <typename T>
struct ZeroedAllocator {
    using value_type = T;

    ZeroedAllocator() = default;
    template <typename U>
    ZeroedAllocator(const ZeroedAllocator<U>&) noexcept
    {
    }

    T* allocate(std::size_t count)
    {
        void* block = std::calloc(count, sizeof(T));
        if (!block)
            throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { std::free(block); }

    template <typename U>
    void construct(U*) noexcept
    {
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args)
    {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const ZeroedAllocator&, const ZeroedAllocator&) { return true; }
    friend bool operator!=(const ZeroedAllocator&, const ZeroedAllocator&) { return false; }
};

// The system's in-memory image: samples interleaved and row-major, sample
// (x, y, c) at index (y * width + x) * channels + c. Instantiated for 8-bit
// frames, 16-bit data and float (the running mean, kept without rounding).
//
// Errors: std::invalid_argument for bad or mismatched dimensions and a zero
// divisor, std::out_of_range for bad coordinates. Every check runs before
// anything is written, so a failing call leaves the buffer as it was.
template <typename T>
class ImageBuffer {
    static_assert(std::is_same_v<T, unsigned char> || std::is_same_v<T, unsigned short> ||
                      std::is_same_v<T, float>,
                  "ImageBuffer holds 8-bit, 16-bit or float samples");

public:
    // Full scale: 255 for 8 bits, 65535 for 16 bits, 255.0 for float, which
    // holds 8-bit data at full precision.
    static constexpr T MAX = std::is_same_v<T, unsigned short> ? T(65535) : T(255);

    ImageBuffer() = default;

    ImageBuffer(int width, int height, int channels)
    {
        checkDimensions(width, height, channels, "Invalid dimensions for ImageBuffer");
        samples_.resize(sampleCount(width, height, channels));  // zero from the allocator
        width_ = width;
        height_ = height;
        channels_ = channels;
    }

    // Always copies the source; the buffer owns its storage whatever is passed.
    ImageBuffer(const T* source, int width, int height, int channels, bool /*ownsData*/)
        : ImageBuffer(width, height, channels)
    {
        std::copy(source, source + samples_.size(), samples_.begin());
    }

    int width() const { return width_; }
    int height() const { return height_; }
    int channels() const { return channels_; }
    std::size_t size() const { return samples_.size(); }
    bool ownsData() const { return true; }
    T* data() { return samples_.data(); }
    const T* data() const { return samples_.data(); }

    int getIndex(int x, int y, int c = 0) const
    {
        if (x < 0 || x >= width_ || y < 0 || y >= height_ || c < 0 || c >= channels_)
            throw std::out_of_range("Pixel coordinates out of range");
        return (y * width_ + x) * channels_ + c;
    }
    T getPixel(int x, int y, int c = 0) const { return samples_[getIndex(x, y, c)]; }
    void setPixel(int x, int y, T value, int c = 0) { samples_[getIndex(x, y, c)] = value; }

    bool sameDimensions(const ImageBuffer& other) const
    {
        return width_ == other.width_ && height_ == other.height_ && channels_ == other.channels_;
    }

    // Saturates at MAX.
    void add(const ImageBuffer& other)
    {
        if (!sameDimensions(other))
            throw std::invalid_argument("Cannot add buffers with different dimensions");
        for (std::size_t i = 0; i < samples_.size(); ++i)
            samples_[i] = static_cast<T>(std::min<Wide>(Wide(samples_[i]) + Wide(other.samples_[i]), Wide(MAX)));
    }

    // Floors at 0.
    void subtract(const ImageBuffer& other)
    {
        if (!sameDimensions(other))
            throw std::invalid_argument("Cannot subtract buffers with different dimensions");
        for (std::size_t i = 0; i < samples_.size(); ++i)
            samples_[i] = static_cast<T>(std::max<Wide>(Wide(samples_[i]) - Wide(other.samples_[i]), Wide(0)));
    }

    // Clamps at MAX; integer samples are truncated toward zero.
    void multiply(float factor)
    {
        for (T& s : samples_)
            s = fromFloat(std::min(float(s) * factor, float(MAX)));
    }

    // Multiplies by the single-precision reciprocal, clamped at MAX.
    void divide(float divisor)
    {
        if (divisor == 0.0f)
            throw std::invalid_argument("Division by zero");
        multiply(1.0f / divisor);
    }

    void clear() { fill(T(0)); }
    void fill(T value) { std::fill(samples_.begin(), samples_.end(), value); }

    float mean() const
    {
        if (samples_.empty())
            return 0.0f;
        double sum = 0.0;
        for (T s : samples_)
            sum += s;
        return static_cast<float>(sum / double(samples_.size()));
    }

    T min() const { return samples_.empty() ? T(0) : *std::min_element(samples_.begin(), samples_.end()); }
    T max() const { return samples_.empty() ? T(0) : *std::max_element(samples_.begin(), samples_.end()); }

    // Stretches to 0..MAX over all channels together; a constant buffer is left alone.
    void normalize()
    {
        if (samples_.size() < 2)
            return;
        const T lo = min();
        const T hi = max();
        if (lo == hi)
            return;
        const float range = float(hi) - float(lo);
        for (T& s : samples_)
            s = fromFloat((float(s) - float(lo)) / range * float(MAX));
    }

    // Re-dimensions without resampling: stored samples keep their positions,
    // new ones are 0, surplus ones are dropped.
    void resize(int width, int height, int channels)
    {
        checkDimensions(width, height, channels, "Invalid dimensions for resize");
        samples_.resize(sampleCount(width, height, channels), T(0));
        width_ = width;
        height_ = height;
        channels_ = channels;
    }

    std::shared_ptr<ImageBuffer> clone() const
    {
        auto copy = std::make_shared<ImageBuffer>(width_, height_, channels_);
        copy->samples_ = samples_;
        return copy;
    }

private:
    using Wide = std::conditional_t<std::is_same_v<T, float>, float, std::int32_t>;

    static T fromFloat(float value)
    {
        if constexpr (std::is_same_v<T, float>)
            return value;
        else
            return value > 0.0f ? static_cast<T>(value) : T(0);  // also maps NaN to 0
    }

    static void checkDimensions(int width, int height, int channels, const char* message)
    {
        if (width < 1 || height < 1 || channels < 1)
            throw std::invalid_argument(message);
        // Indices are 32-bit signed; larger images are refused rather than wrapped.
        if (std::int64_t(width) * height * channels > std::numeric_limits<std::int32_t>::max())
            throw std::invalid_argument(message);
    }

    static std::size_t sampleCount(int width, int height, int channels)
    {
        return std::size_t(width) * std::size_t(height) * std::size_t(channels);
    }

    std::vector<T, ZeroedAllocator<T>> samples_;
    int width_ = 0;
    int height_ = 0;
    int channels_ = 0;
};

using ByteImage = ImageBuffer<unsigned char>;
using FloatImage = ImageBuffer<float>;
using ByteImagePtr = std::shared_ptr<ImageBuffer<unsigned char>>;
using FloatImagePtr = std::shared_ptr<ImageBuffer<float>>;

// 16 -> 8 bits: floor(v / 257), so 0 and full scale survive a round trip.
std::shared_ptr<ImageBuffer<unsigned char>> toEightBit(const ImageBuffer<unsigned short>& image);
// float -> 8 bits: rounded to nearest and saturated at 0 and 255.
std::shared_ptr<ImageBuffer<unsigned char>> toEightBit(const ImageBuffer<float>& image);
// 8 -> 16 bits: v * 257.
std::shared_ptr<ImageBuffer<unsigned short>> toSixteenBit(const ImageBuffer<unsigned char>& image);
// 8 bits -> float: exact.
std::shared_ptr<ImageBuffer<float>> toFloat(const ImageBuffer<unsigned char>& image);

#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// Random numbers for the simulator. Each part of a sequence (stars, nebula,
// drift, hot pixels, the noise of each frame row) draws from its own stream,
// derived from the seed, so changing one parameter leaves the other parts as
// they were and the noise does not depend on how rows are shared between
// threads.

enum class RandomStream : std::uint64_t { Stars = 1, Nebula, Walk, HotPixels, Noise };

// SplitMix64's output function: a bijection that spreads nearby inputs far apart.
inline std::uint64_t mix64(std::uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

inline std::uint64_t streamSeed(std::uint64_t seed, RandomStream stream, std::uint64_t a = 0, std::uint64_t b = 0)
{
    return mix64(mix64(mix64(seed + std::uint64_t(stream)) + a) + b);
}

// SplitMix64 as a uniform random bit generator for the <random> distributions:
// tiny state, cheap to seed once per row, and the same numbers on every platform.
class SplitMix64 {
public:
    using result_type = std::uint64_t;

    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }

    result_type operator()()
    {
        state_ += 0x9e3779b97f4a7c15ULL;
        return mix64(state_);
    }

private:
    std::uint64_t state_;
};

// Uniform in [0, 1) from the top 53 bits, the precision of a double.
inline double uniform01(SplitMix64& random) { return double(random() >> 11) * 0x1.0p-53; }

// Standard normal deviates by Marsaglia's polar method, which needs no
// trigonometry; each accepted pair gives two deviates. Faster than
// std::normal_distribution, whose canonical draws work in long double, and
// the noise of every pixel is drawn here.
class NormalDeviates {
public:
    explicit NormalDeviates(std::uint64_t seed) : random_(seed) {}

    double next()
    {
        if (hasSpare_) {
            hasSpare_ = false;
            return spare_;
        }
        double u, v, s;
        do {
            u = 2.0 * uniform01(random_) - 1.0;
            v = 2.0 * uniform01(random_) - 1.0;
            s = u * u + v * v;
        } while (s >= 1.0 || s == 0.0);
        const double scale = std::sqrt(-2.0 * std::log(s) / s);
        spare_ = v * scale;
        hasSpare_ = true;
        return u * scale;
    }

private:
    SplitMix64 random_;
    double spare_ = 0.0;
    bool hasSpare_ = false;
};

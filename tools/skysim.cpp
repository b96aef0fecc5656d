// Simulates a sequence of sky frames: a star field with Moffat profiles over
// a sky gradient, with shot and read noise, reproducible from a seed.
#include <cmath>
#include <cstdio>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/ImageFile.h"

namespace {

struct Settings {
    std::string outDir = ".";
    int frames = 10;
    int width = 640;
    int height = 480;
    int channels = 3;
    int stars = 300;
    double readNoise = 4.0;
    unsigned seed = 1;
};

struct Star {
    double x, y, flux;
};

Settings parse(int argc, char** argv)
{
    Settings s;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--out") s.outDir = value;
        else if (key == "--frames") s.frames = std::stoi(value);
        else if (key == "--width") s.width = std::stoi(value);
        else if (key == "--height") s.height = std::stoi(value);
        else if (key == "--channels") s.channels = std::stoi(value);
        else if (key == "--stars") s.stars = std::stoi(value);
        else if (key == "--read-noise") s.readNoise = std::stod(value);
        else if (key == "--seed") s.seed = unsigned(std::stoul(value));
        else throw std::invalid_argument("Unknown option " + key);
    }
    return s;
}

std::vector<Star> starField(const Settings& s, std::mt19937& random)
{
    std::uniform_real_distribution<double> x(0, s.width), y(0, s.height);
    // Few bright stars, many faint ones, as in a real field.
    std::exponential_distribution<double> brightness(1.0 / 3000.0);
    std::vector<Star> stars;
    for (int i = 0; i < s.stars; ++i)
        stars.push_back({x(random), y(random), 300.0 + brightness(random)});
    return stars;
}

// Noise-free sky: gradient plus stars with a Moffat profile (beta 3, FWHM 3 px).
std::vector<double> sky(const Settings& s, const std::vector<Star>& stars)
{
    std::vector<double> sky(std::size_t(s.width) * s.height);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            sky[std::size_t(y) * s.width + x] = 30.0 + 20.0 * x / s.width;
    const double beta = 3.0, fwhm = 3.0;
    const double alpha = fwhm / (2.0 * std::sqrt(std::pow(2.0, 1.0 / beta) - 1.0));
    const double norm = (beta - 1.0) / (M_PI * alpha * alpha);
    const int radius = 12;
    for (const Star& star : stars)
        for (int y = int(star.y) - radius; y <= int(star.y) + radius; ++y)
            for (int x = int(star.x) - radius; x <= int(star.x) + radius; ++x) {
                if (x < 0 || y < 0 || x >= s.width || y >= s.height)
                    continue;
                const double r2 = (x - star.x) * (x - star.x) + (y - star.y) * (y - star.y);
                sky[std::size_t(y) * s.width + x] += star.flux * norm * std::pow(1.0 + r2 / (alpha * alpha), -beta);
            }
    return sky;
}

ByteImagePtr exposure(const Settings& s, const std::vector<double>& sky, std::mt19937& random)
{
    auto frame = std::make_shared<ByteImage>(s.width, s.height, s.channels);
    std::normal_distribution<double> unit(0.0, 1.0);
    unsigned char* out = frame->data();
    for (std::size_t i = 0; i < sky.size(); ++i)
        for (int c = 0; c < s.channels; ++c) {
            const double shot = std::sqrt(std::max(sky[i], 0.0));
            const double value = sky[i] + unit(random) * std::hypot(shot, s.readNoise);
            out[i * s.channels + c] = static_cast<unsigned char>(std::clamp(std::lround(value), 0L, 255L));
        }
    return frame;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        const Settings s = parse(argc, argv);
        std::mt19937 random(s.seed);
        const std::vector<double> truth = sky(s, starField(s, random));
        for (int i = 1; i <= s.frames; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/frame_%04d.jpg", i);
            saveImage(s.outDir + name, exposure(s, truth, random));
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "skysim: " << e.what() << '\n';
        return 1;
    }
}

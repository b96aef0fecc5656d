#include "alignment/AlignmentTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "SkySimulator.h"
#include "core/Logger.h"
#include "support/TestSupport.h"

SimulatedPair simulatedPair(int channels, double shiftX, double shiftY, double angleDegrees, bool mirrored)
{
    SkySimSettings s;
    s.width = kSimWidth;
    s.height = kSimHeight;
    s.channels = channels;
    s.frames = 2;
    s.seed = 20240611;
    // Dense enough for ORB's corner test to find many distinct places.
    s.starField.starsPerFrame = 800;
    s.background.gradient = 0.0;
    // Faint noise, so that what differs after alignment is misalignment.
    s.noise.readNoise = 0.5;
    s.noise.gain = 0.05;
    s.motion.driftX = shiftX;
    s.motion.driftY = shiftY;
    s.motion.rotationPerFrame = angleDegrees;
    s.motion.mirrorAtFrame = mirrored ? 2 : 0;
    const SkySimulator simulator(s);
    return {simulator.exposure(1), simulator.exposure(2), simulator.transform(2)};
}

cv::Point2d mapped(const cv::Matx33d& transform, cv::Point2d point)
{
    const cv::Vec3d p = transform * cv::Vec3d(point.x, point.y, 1.0);
    return {p[0] / p[2], p[1] / p[2]};
}

double largestDisagreement(const cv::Matx33d& a, const cv::Matx33d& b, int width, int height)
{
    double largest = 0.0;
    for (double fx : {0.2, 0.5, 0.8})
        for (double fy : {0.2, 0.5, 0.8}) {
            const cv::Point2d point(fx * width, fy * height);
            largest = std::max(largest, cv::norm(mapped(a, point) - mapped(b, point)));
        }
    return largest;
}

double meanAbsDifference(const ByteImage& a, const ByteImage& b, const std::function<bool(int, int)>& inside)
{
    double sum = 0.0;
    long count = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (int c = 0; c < a.channels() && inside(x, y); ++c, ++count)
                sum += std::abs(int(a.getPixel(x, y, c)) - int(b.getPixel(x, y, c)));
    return sum / double(std::max(count, 1L));
}

std::vector<std::string> infoLoggedBy(const std::function<void()>& run)
{
    Logger::instance().setVerbose();
    testing::internal::CaptureStdout();
    run();
    return logMessages(testing::internal::GetCapturedStdout(), "[INFO] ");
}

bool contains(const std::vector<std::string>& messages, const std::string& message)
{
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

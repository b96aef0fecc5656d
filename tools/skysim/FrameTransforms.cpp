#include "FrameTransforms.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "Random.h"

namespace {

// Random-walk steps are at most this share of the bound, so the walk wanders
// over several frames instead of jumping between the extremes.
constexpr double kWalkStepFraction = 0.25;

cv::Matx33d translation(cv::Vec2d offset)
{
    return cv::Matx33d(1, 0, offset[0], 0, 1, offset[1], 0, 0, 1);
}

cv::Matx33d rotation(double angle)
{
    const double radians = angle * CV_PI / 180.0;
    const double c = std::cos(radians);
    const double s = std::sin(radians);
    return cv::Matx33d(c, -s, 0, s, c, 0, 0, 0, 1);
}

// Reflects a step that leaves [-bound, bound] back inside it.
double reflectInto(double value, double bound)
{
    if (value > bound)
        return 2 * bound - value;
    if (value < -bound)
        return -2 * bound - value;
    return value;
}

// Offset of each frame from the first: frame 1 stays at zero.
std::vector<cv::Vec2d> randomWalk(double bound, int frames, std::uint64_t seed)
{
    SplitMix64 random(streamSeed(seed, RandomStream::Walk));
    const double step = kWalkStepFraction * bound;
    std::uniform_real_distribution<double> delta(-step, step);
    std::vector<cv::Vec2d> walk(std::size_t(frames), cv::Vec2d(0, 0));
    for (std::size_t k = 1; k < walk.size(); ++k) {
        const double x = reflectInto(walk[k - 1][0] + delta(random), bound);
        const double y = reflectInto(walk[k - 1][1] + delta(random), bound);
        walk[k] = cv::Vec2d(x, y);
    }
    return walk;
}

}  // namespace

cv::Matx33d poseTransform(const FramePose& pose, cv::Point2d centre)
{
    // The turn is a sign change rather than a rotation by pi, whose cosine
    // and sine would carry rounding into the matrix.
    const double turn = pose.turned ? -1.0 : 1.0;
    const double mirror = pose.mirrored ? -1.0 : 1.0;
    const cv::Matx33d flips(turn * mirror, 0, 0, 0, turn, 0, 0, 0, 1);
    const cv::Vec2d c(centre.x, centre.y);
    return translation(c + pose.shift) * rotation(pose.angle) * flips * translation(-c);
}

cv::Point2d applyTransform(const cv::Matx33d& t, cv::Point2d p)
{
    const cv::Vec3d q = t * cv::Vec3d(p.x, p.y, 1.0);
    return cv::Point2d(q[0] / q[2], q[1] / q[2]);
}

std::vector<cv::Matx33d> frameTransforms(const MotionSettings& motion, int frames, int width, int height,
                                         std::uint64_t seed)
{
    const cv::Point2d centre((width - 1) / 2.0, (height - 1) / 2.0);
    const std::vector<cv::Vec2d> walk = randomWalk(motion.shiftMax, frames, seed);
    std::vector<cv::Matx33d> transforms;
    for (int k = 1; k <= frames; ++k) {
        const double steps = k - 1;
        FramePose pose;
        pose.angle = steps * motion.rotationPerFrame;
        pose.turned = motion.flipAtFrame > 0 && k >= motion.flipAtFrame;
        pose.mirrored = motion.mirrorAtFrame > 0 && k >= motion.mirrorAtFrame;
        pose.shift = cv::Vec2d(steps * motion.driftX, steps * motion.driftY) + walk[std::size_t(k - 1)];
        transforms.push_back(poseTransform(pose, centre));
    }
    return transforms;
}

FieldBounds sequenceFootprint(const std::vector<cv::Matx33d>& transforms, int width, int height)
{
    const cv::Point2d corners[] = {{-0.5, -0.5}, {width - 0.5, -0.5}, {-0.5, height - 0.5}, {width - 0.5, height - 0.5}};
    FieldBounds bounds{corners[0].x, corners[0].y, corners[3].x, corners[3].y};
    for (const cv::Matx33d& transform : transforms)
        for (const cv::Point2d& corner : corners) {
            const cv::Point2d p = applyTransform(transform, corner);
            bounds.left = std::min(bounds.left, p.x);
            bounds.top = std::min(bounds.top, p.y);
            bounds.right = std::max(bounds.right, p.x);
            bounds.bottom = std::max(bounds.bottom, p.y);
        }
    return bounds;
}

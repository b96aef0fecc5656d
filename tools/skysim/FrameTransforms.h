#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "SkySettings.h"

// Pixel coordinates put the centre of pixel (i, j) at (i, j); the pixel
// covers [i - 0.5, i + 0.5] x [j - 0.5, j + 0.5].
//
// A frame's transform is a 3x3 homogeneous matrix mapping the frame's pixel
// coordinates to those of the reference frame (frame 1), whose transform is
// the identity.

// Where a frame points: its centre maps to the reference centre + shift;
// about it the frame is mirrored left to right (when mirrored), turned by
// 180 degrees (when turned) and rotated by angle degrees, in that order.
struct FramePose {
    double angle = 0.0;
    bool turned = false;
    bool mirrored = false;
    cv::Vec2d shift{0.0, 0.0};
};

cv::Matx33d poseTransform(const FramePose& pose, cv::Point2d centre);

cv::Point2d applyTransform(const cv::Matx33d& transform, cv::Point2d point);

// The transform of every frame, in order; the random walk is drawn from the seed.
std::vector<cv::Matx33d> frameTransforms(const MotionSettings& motion, int frames, int width, int height,
                                         std::uint64_t seed);

// An axis-aligned rectangle in reference coordinates.
struct FieldBounds {
    double left = 0.0;
    double top = 0.0;
    double right = 0.0;
    double bottom = 0.0;

    double area() const { return (right - left) * (bottom - top); }
};

// The smallest rectangle holding every frame's area, in reference coordinates.
FieldBounds sequenceFootprint(const std::vector<cv::Matx33d>& transforms, int width, int height);

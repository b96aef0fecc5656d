#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "MoffatProfile.h"
#include "SkyBackground.h"
#include "StarField.h"
#include "image/ImageBuffer.h"

// The noise-free sky in reference coordinates, and how a frame sees it.
class SkyModel {
public:
    SkyModel(std::vector<Star> stars, const MoffatProfile& profile, const SkyBackground& background);

    const std::vector<Star>& stars() const { return stars_; }
    const MoffatProfile& profile() const { return profile_; }

    // The frame whose pixel coordinates map to the reference by toReference,
    // a similarity without scale (so a star keeps its round profile): each
    // pixel holds the stars' light over its area plus the background at the
    // reference point its centre sees. Values are not clipped. Channel c of
    // a colour frame takes each star's flux times its colour for c; a grey
    // frame takes the flux as it is.
    FloatImagePtr render(const cv::Matx33d& toReference, int width, int height, int channels) const;

private:
    // A star as one frame sees it.
    struct Sprite {
        cv::Point2d position;
        MoffatProfile::Cut cut;
        ChannelLevels peak;
    };

    std::vector<Sprite> spritesIn(const cv::Matx33d& toReference, int width, int height, int channels) const;
    void renderBackgroundRow(const cv::Matx33d& toReference, int y, FloatImage& image) const;
    void renderSpriteRow(const Sprite& sprite, int y, FloatImage& image) const;

    std::vector<Star> stars_;
    MoffatProfile profile_;
    SkyBackground background_;
};

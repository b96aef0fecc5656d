#pragma once

#include <opencv2/core.hpp>

#include "image/ImageBuffer.h"

// One channel of an interleaved 8-bit buffer as a CV_8UC1 matrix of height
// rows and width columns, for the steps that filter plane by plane. Any
// channel count works. A channel outside the buffer throws
// std::out_of_range.

// A new matrix holding a copy of the channel.
cv::Mat channelPlane(const ImageBuffer<unsigned char>& image, int channel);

// Writes the plane into the channel. Throws std::invalid_argument when the
// plane is not CV_8UC1 of the buffer's size.
void storeChannelPlane(const cv::Mat& plane, ImageBuffer<unsigned char>& image, int channel);

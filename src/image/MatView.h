#pragma once

#include <opencv2/core.hpp>

#include "image/ImageBuffer.h"

// OpenCV views of 8-bit image buffers. A view shares the buffer's samples
// (no copy): CV_8UC1 for one channel, CV_8UC3 for three, rows of width *
// channels bytes. Channel order is the buffer's own; OpenCV's BGR-named
// conversions are applied to it unchanged, so colours round-trip.

// Throws std::invalid_argument for a channel count other than 1 or 3.
cv::Mat matView(ImageBuffer<unsigned char>& image);
cv::Mat matView(const ImageBuffer<unsigned char>& image);  // the view must not be written

// A new buffer holding a copy of an 8-bit matrix with 1 or 3 channels.
std::shared_ptr<ImageBuffer<unsigned char>> bufferFromMat(const cv::Mat& mat);

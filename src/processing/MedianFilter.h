#pragma once

#include "image/ImageBuffer.h"

// The kernel size applied for a requested size: an even size is increased
// by 1.
int medianKernelSize(int size);

// The largest kernel applied. OpenCV 4.6's histogram-based median returns
// wrong values for noisy 8-bit planes from a kernel of about 361 up and
// fails an assertion from about 527; up to 255 it agrees with a direct
// median on every plane tried.
constexpr int kLargestMedianKernel = 255;

// Median of the kernel-sized square around every sample, each channel on its
// own, by OpenCV's medianBlur (edges replicated, so a kernel wider than the
// image is fine). Logs "Applying median filter with size " + kernel size.
// Throws std::invalid_argument when the kernel size falls outside
// 1..kLargestMedianKernel.
ByteImagePtr applyMedianFilter(const ImageBuffer<unsigned char>& image, int size);

#pragma once

#include <cstdint>
#include <string>

// The largest image any reader allocates, whatever a file's header claims:
// a few bytes can declare gigapixels, and allocating them would end the run
// (or the machine) before the data is found missing. 2^29 samples is a
// 400-megapixel colour frame, far beyond any camera a live stacker serves.
constexpr std::int64_t kLargestSide = 65535;
constexpr std::int64_t kLargestSampleCount = std::int64_t(1) << 29;

// Whether an image of these dimensions may be allocated.
bool isLoadableSize(std::int64_t width, std::int64_t height, std::int64_t channels);

// Throws std::runtime_error "Image of W x H x C samples is too large to load
// (at most 65535 pixels a side and 536870912 samples): PATH" unless it may.
void requireLoadableSize(std::int64_t width, std::int64_t height, std::int64_t channels, const std::string& path);

#pragma once

#include <vector>

#include "image/ImageBuffer.h"

// Which samples of an image a measure takes: one flag per sample.
using SampleMask = std::vector<bool>;

// The standard deviation of stack minus truth over the masked samples:
// what is left of the noise, whatever constant offset the stack carries.
// Throws std::invalid_argument when the images or the mask differ in size
// or the mask selects nothing.
double residualDeviation(const FloatImage& stack, const FloatImage& truth, const SampleMask& mask);

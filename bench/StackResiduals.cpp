#include "StackResiduals.h"

#include <cmath>
#include <stdexcept>

double residualDeviation(const FloatImage& stack, const FloatImage& truth, const SampleMask& mask)
{
    if (!stack.sameDimensions(truth) || mask.size() != truth.size())
        throw std::invalid_argument("residualDeviation: the stack, the truth and the mask differ in size");
    double sum = 0.0;
    double squares = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < truth.size(); ++i) {
        if (!mask[i])
            continue;
        const double d = double(stack.data()[i]) - double(truth.data()[i]);
        sum += d;
        squares += d * d;
        ++count;
    }
    if (count == 0)
        throw std::invalid_argument("residualDeviation: the mask selects no sample");
    const double mean = sum / double(count);
    return std::sqrt(squares / double(count) - mean * mean);
}

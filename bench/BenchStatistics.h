#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

// NaN for no values: a measure nothing was found for, such as a sequence
// where no frame was registered.
inline double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

inline double largest(const std::vector<double>& values)
{
    return values.empty() ? NAN : *std::max_element(values.begin(), values.end());
}

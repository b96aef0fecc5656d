#include "fits/gslhelpers/GSLHelpers.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <type_traits>

#include <gsl/gsl_statistics.h>

namespace Mathematics::GSLHelpers {

namespace {

// GSL's statistics functions of one element type; they differ only in name.
template <typename T>
struct Gsl;

#define PELORUM_GSL_FUNCTIONS(TYPE, PREFIX)                                               \
    template <>                                                                           \
    struct Gsl<TYPE> {                                                                    \
        static constexpr auto mean = PREFIX##mean;                                        \
        static constexpr auto sd = PREFIX##sd;                                            \
        static constexpr auto median = PREFIX##median_from_sorted_data;                   \
        static constexpr auto trimmedMean = PREFIX##trmean_from_sorted_data;              \
        static constexpr auto gastwirth = PREFIX##gastwirth_from_sorted_data;             \
    };

PELORUM_GSL_FUNCTIONS(double, gsl_stats_)
PELORUM_GSL_FUNCTIONS(float, gsl_stats_float_)
PELORUM_GSL_FUNCTIONS(unsigned char, gsl_stats_uchar_)
PELORUM_GSL_FUNCTIONS(unsigned short, gsl_stats_ushort_)
PELORUM_GSL_FUNCTIONS(short, gsl_stats_short_)
PELORUM_GSL_FUNCTIONS(unsigned int, gsl_stats_uint_)
PELORUM_GSL_FUNCTIONS(int, gsl_stats_int_)

#undef PELORUM_GSL_FUNCTIONS

// The strided elements of a vector, as GSL's (data, stride, n) and as an
// iterator range.
template <typename T>
struct Strided {
    std::vector<T>& samples;
    std::size_t stride;
    std::size_t n;

    const T* data() const { return samples.data(); }
    auto begin() const
    {
        using Iter = typename std::vector<T>::iterator;
        return stride_iter<Iter>(samples.begin(), static_cast<std::ptrdiff_t>(stride));
    }
    auto end() const { return begin() + static_cast<std::ptrdiff_t>(n); }
};

// Integer element types sum and divide as integers, so the result is the
// truncated mean of the kept elements.
template <typename T, typename Iter>
double meanOfRange(Iter first, Iter last)
{
    using Sum = std::conditional_t<std::is_floating_point_v<T>, double,
                                   std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>;
    Sum sum = 0;
    Sum count = 0;
    for (; first != last; ++first, ++count)
        sum += static_cast<Sum>(*first);
    return static_cast<double>(sum / count);
}

template <typename T>
double clippedMean(const Strided<T>& s, double parameter)
{
    const double median = Gsl<T>::median(s.data(), s.stride, s.n);
    if (s.n < 4)
        return median;
    const double halfWidth = parameter * Gsl<T>::sd(s.data(), s.stride, s.n);
    const double low = median - halfWidth;
    const double high = median + halfWidth;
    const auto first = std::lower_bound(s.begin(), s.end(), low,
                                        [](T x, double bound) { return double(x) < bound; });
    const auto last = std::upper_bound(first, s.end(), high,
                                       [](double bound, T x) { return bound < double(x); });
    if (first == last)
        return median;
    return meanOfRange<T>(first, last);
}

} // namespace

template <typename T>
double estimateLocation(Location type, std::vector<T> samples, std::size_t stride, double parameter)
{
    if (stride == 0)
        throw std::invalid_argument("Location estimate needs a stride of at least 1");
    const Strided<T> s{samples, stride, (samples.size() + stride - 1) / stride};
    // GSL's trimmed mean reads outside an empty array; its mean and median
    // of nothing are 0, so every estimator answers that.
    if (s.n == 0)
        return 0.0;
    if (type == Location::Mean)
        return Gsl<T>::mean(s.data(), s.stride, s.n);
    std::sort(s.begin(), s.end());
    switch (type) {
    case Location::Median:
        return Gsl<T>::median(s.data(), s.stride, s.n);
    case Location::TrimmedMean:
        return Gsl<T>::trimmedMean(parameter, s.data(), s.stride, s.n);
    case Location::Gastwirth:
        return Gsl<T>::gastwirth(s.data(), s.stride, s.n);
    case Location::ClippedMean:
        return clippedMean(s, parameter);
    default:
        throw std::invalid_argument("Unknown location estimator");
    }
}

template double estimateLocation(Location, std::vector<double>, std::size_t, double);
template double estimateLocation(Location, std::vector<float>, std::size_t, double);
template double estimateLocation(Location, std::vector<unsigned char>, std::size_t, double);
template double estimateLocation(Location, std::vector<unsigned short>, std::size_t, double);
template double estimateLocation(Location, std::vector<short>, std::size_t, double);
template double estimateLocation(Location, std::vector<unsigned int>, std::size_t, double);
template double estimateLocation(Location, std::vector<int>, std::size_t, double);

} // namespace Mathematics::GSLHelpers

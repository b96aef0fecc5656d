#pragma once

#include <cassert>
#include <cstddef>
#include <iterator>
#include <vector>

namespace Mathematics::GSLHelpers {

// A random-access iterator over every step-th element of a sequence, so
// standard algorithms (sort, lower_bound) see the same elements as a GSL
// function called with that stride. It keeps the sequence start and an
// element count instead of a moving position, so advancing to the end of a
// sequence whose length is not a multiple of the step never forms an
// iterator past the sequence. Comparing or subtracting iterators of
// different steps is a programming error and fails an assertion.
template <typename Iter>
class stride_iter {
public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = typename std::iterator_traits<Iter>::value_type;
    using difference_type = typename std::iterator_traits<Iter>::difference_type;
    using pointer = typename std::iterator_traits<Iter>::pointer;
    using reference = typename std::iterator_traits<Iter>::reference;

    stride_iter() = default;
    stride_iter(Iter first, difference_type step, difference_type index = 0)
        : first_(first), step_(step), index_(index)
    {
    }

    difference_type step() const { return step_; }

    reference operator*() const { return first_[index_ * step_]; }
    pointer operator->() const { return &**this; }
    reference operator[](difference_type n) const { return first_[(index_ + n) * step_]; }

    stride_iter& operator++() { ++index_; return *this; }
    stride_iter& operator--() { --index_; return *this; }
    stride_iter operator++(int) { stride_iter old = *this; ++index_; return old; }
    stride_iter operator--(int) { stride_iter old = *this; --index_; return old; }
    stride_iter& operator+=(difference_type n) { index_ += n; return *this; }
    stride_iter& operator-=(difference_type n) { index_ -= n; return *this; }

    friend stride_iter operator+(stride_iter x, difference_type n) { return x += n; }
    friend stride_iter operator+(difference_type n, stride_iter x) { return x += n; }
    friend stride_iter operator-(stride_iter x, difference_type n) { return x -= n; }

    friend difference_type operator-(const stride_iter& x, const stride_iter& y)
    {
        assert(x.step_ == y.step_);
        return x.index_ - y.index_;
    }
    friend bool operator==(const stride_iter& x, const stride_iter& y)
    {
        assert(x.step_ == y.step_);
        return x.index_ == y.index_;
    }
    friend bool operator!=(const stride_iter& x, const stride_iter& y) { return !(x == y); }
    friend bool operator<(const stride_iter& x, const stride_iter& y) { return y - x > 0; }
    friend bool operator>(const stride_iter& x, const stride_iter& y) { return y < x; }
    friend bool operator<=(const stride_iter& x, const stride_iter& y) { return !(y < x); }
    friend bool operator>=(const stride_iter& x, const stride_iter& y) { return !(x < y); }

private:
    Iter first_{};
    difference_type step_ = 1;
    difference_type index_ = 0;
};

// Location estimators; the values are the codes callers pass around.
enum class Location {
    Mean = 0,        // the arithmetic mean, no sorting
    Median = 1,      // for an even count the mean of the two middle elements
    TrimmedMean = 2, // parameter: the fraction trimmed from each end
    Gastwirth = 3,   // 0.3 Q(1/3) + 0.4 Q(1/2) + 0.3 Q(2/3)
    ClippedMean = 4, // parameter: the clip half-width in standard deviations
};

// The chosen location of the elements samples[0], samples[stride], ... (all
// elements with an index below samples.size()), computed by GSL's statistics
// functions for the element type. Every estimator except Mean sorts those
// elements of its own copy. The clipped mean takes the elements within
// median +- parameter * sd (sd with divisor n - 1) and returns their mean,
// summed and divided in integer arithmetic for integer element types; with
// fewer than 4 elements, or none inside the band, it returns the median.
// Instantiated for double, float, unsigned char, unsigned short, short,
// unsigned int and int. No elements give 0. Throws std::invalid_argument
// for a stride of 0 or an unknown estimator.
template <typename T>
double estimateLocation(Location type, std::vector<T> samples, std::size_t stride, double parameter);

extern template double estimateLocation(Location, std::vector<double>, std::size_t, double);
extern template double estimateLocation(Location, std::vector<float>, std::size_t, double);
extern template double estimateLocation(Location, std::vector<unsigned char>, std::size_t, double);
extern template double estimateLocation(Location, std::vector<unsigned short>, std::size_t, double);
extern template double estimateLocation(Location, std::vector<short>, std::size_t, double);
extern template double estimateLocation(Location, std::vector<unsigned int>, std::size_t, double);
extern template double estimateLocation(Location, std::vector<int>, std::size_t, double);

} // namespace Mathematics::GSLHelpers

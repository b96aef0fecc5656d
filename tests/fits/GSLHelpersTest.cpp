#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <tuple>
#include <vector>

#include <gsl/gsl_multifit.h>

#include "fits/gslhelpers/GSLHelpers.h"
#include "fits/gslhelpers/GslErrors.h"

using namespace Mathematics::GSLHelpers;

TEST(StrideIterator, SortsOnlyTheStridedElementsWithoutPassingTheEnd)
{
    // Seven elements, step 2: places 0, 2, 4, 6 hold 5, 3, 1, 4; the odd places must stay put. The end,
    // index 4, would lie past the sequence as a plain pointer.
    std::vector<int> v = {5, 90, 3, 80, 1, 70, 4};
    const stride_iter<std::vector<int>::iterator> first(v.begin(), 2), last(v.begin(), 2, 4);
    std::sort(first, last);
    EXPECT_EQ(v, (std::vector<int>{1, 90, 3, 80, 4, 70, 5}));
    EXPECT_TRUE(first[3] == 5 && *(last - 1) == 5 && *(2 + first) == 4 && last > first && first <= last);
}

TEST(LocationEstimators, GiveHandComputedValuesAndRefuseAZeroStrideOrAnUnknownEstimator)
{
    // Mean 5, median 4.5, sample sd 2.138: median +- sd keeps 4, 4, 4, 5, 5 (sum 22).
    const std::vector<double> eight = {7, 4, 9, 2, 5, 4, 5, 4};
    // Estimator, samples, stride, parameter, expected.
    const std::tuple<Location, std::vector<double>, std::size_t, double, double> cases[] = {
        {Location::Mean, eight, 1, 0.0, 5.0},
        {Location::Median, eight, 1, 0.0, 4.5},
        {Location::ClippedMean, eight, 1, 1.0, 4.4},
        {Location::ClippedMean, {1, 9, 2}, 1, 1.0, 2.0},               // under four elements: the median
        {Location::ClippedMean, eight, 1, 0.1, 4.5},                   // nothing in the band: the median
        {Location::TrimmedMean, {100, 3, 1, 4, 2}, 1, 0.2, 3.0},       // one dropped from each end
        {Location::Gastwirth, {40, 1, 20, 3, 10, 2, 4}, 1, 0.0, 5.5},  // 0.3 x 3 + 0.4 x 4 + 0.3 x 10
        {Location::Median, {9, 100, 1, 100, 5, 100}, 2, 0.0, 5.0},     // 9, 1 and 5: an odd count
        {Location::Median, {9, 0, 0, 100, 0}, 3, 0.0, 54.5},           // indices 0 and 3
    };
    for (const auto& [type, samples, stride, parameter, expected] : cases)
        EXPECT_NEAR(estimateLocation(type, samples, stride, parameter), expected, 1e-12)
            << int(type) << " of " << samples.size() << " by " << stride;
    for (Location type : {Location::Mean, Location::Median, Location::TrimmedMean, Location::Gastwirth,
                          Location::ClippedMean})
        EXPECT_EQ(estimateLocation(type, std::vector<double>{}, 1, 0.2), 0.0) << int(type);

    // Integer samples sum and divide as integers in the clipped mean only: 22 / 5 truncates to 4.
    const std::vector<int> integers = {7, 4, 9, 2, 5, 4, 5, 4};
    EXPECT_EQ(estimateLocation(Location::ClippedMean, integers, 1, 1.0), 4.0);
    EXPECT_EQ(estimateLocation(Location::Mean, std::vector<int>{1, 2}, 1, 0.0), 1.5);
    EXPECT_EQ(integers, (std::vector<int>{7, 4, 9, 2, 5, 4, 5, 4}));  // sorted only in the estimator's copy

    EXPECT_THROW(estimateLocation(Location::Median, integers, 0, 0.0), std::invalid_argument);
    EXPECT_THROW(estimateLocation(Location(7), integers, 1, 0.0), std::invalid_argument);
}

// The test program switches GSL's abort off at start, as every program of
// the project does: a refused call must come back to the caller.
TEST(GslErrors, RefusedCallsComeBackAsExceptionsInsteadOfEndingTheProcess)
{
    gsl_matrix* design = gsl_matrix_calloc(4, 2);
    gsl_vector* observed = gsl_vector_calloc(3);  // one short of the design's rows
    gsl_vector* coefficients = gsl_vector_calloc(2);
    gsl_matrix* covariance = gsl_matrix_calloc(2, 2);
    gsl_multifit_linear_workspace* work = gsl_multifit_linear_alloc(4, 2);
    double chiSquared = 0.0;
    const int status = gsl_multifit_linear(design, observed, coefficients, covariance, &chiSquared, work);
    gsl_multifit_linear_free(work);
    gsl_matrix_free(covariance);
    gsl_vector_free(coefficients);
    gsl_vector_free(observed);
    gsl_matrix_free(design);
    EXPECT_THROW(requireGslSuccess(status, "Background fit"), std::runtime_error);
    EXPECT_THROW(requireGslAllocated(nullptr, "a matrix"), std::runtime_error);
}

#include <gtest/gtest.h>

#include <gsl/gsl_multifit.h>

#include "fits/gslhelpers/GslErrors.h"

using namespace Mathematics::GSLHelpers;

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

    EXPECT_NE(status, GSL_SUCCESS);
    EXPECT_THROW(requireGslSuccess(status, "Background fit"), std::runtime_error);
    EXPECT_THROW(requireGslAllocated(nullptr, "a matrix"), std::runtime_error);
}

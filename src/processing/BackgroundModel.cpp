#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit.h>

#include "processing/BackgroundExtractor.h"

namespace {

constexpr int kMaxDegree = 4;
// Rows cost the same, but dynamic chunks keep both cores busy when another
// process takes one for a while.
constexpr int kRowsPerChunk = 16;

struct GslFree {
    void operator()(gsl_matrix* m) const { gsl_matrix_free(m); }
    void operator()(gsl_vector* v) const { gsl_vector_free(v); }
    void operator()(gsl_multifit_linear_workspace* w) const { gsl_multifit_linear_free(w); }
};
using GslMatrix = std::unique_ptr<gsl_matrix, GslFree>;
using GslVector = std::unique_ptr<gsl_vector, GslFree>;
using GslWorkspace = std::unique_ptr<gsl_multifit_linear_workspace, GslFree>;

using Powers = std::array<double, kMaxDegree + 1>;

// Powers of x and y in one term, in the order 1, x, y, x^2, xy, y^2, x^3, ...
struct Term {
    int xPower;
    int yPower;
};

std::vector<Term> polynomialTerms(int degree)
{
    std::vector<Term> terms;
    for (int total = 0; total <= degree; ++total)
        for (int yPower = 0; yPower <= total; ++yPower)
            terms.push_back({total - yPower, yPower});
    return terms;
}

// Single-precision division, the same in the fit and the evaluation.
double normalised(float position, int size) { return double(position / float(size - 1)); }

Powers powersOf(double value)
{
    Powers powers{1.0};
    for (int k = 1; k <= kMaxDegree; ++k)
        powers[std::size_t(k)] = powers[std::size_t(k) - 1] * value;
    return powers;
}

void requireSamples(std::size_t count, int degree)
{
    if (count == 0)
        throw std::runtime_error("No background points to fit");
    const int terms = polynomialTermCount(degree);
    if (count < std::size_t(terms))
        throw std::runtime_error("Too few background samples (" + std::to_string(count) + ") for a degree-" +
                                 std::to_string(degree) + " model with " + std::to_string(terms) + " terms");
}

GslMatrix designMatrix(const std::vector<BackgroundSample>& samples, const std::vector<Term>& terms, int width,
                       int height)
{
    GslMatrix design(gsl_matrix_alloc(samples.size(), terms.size()));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Powers xs = powersOf(normalised(samples[i].x, width));
        const Powers ys = powersOf(normalised(samples[i].y, height));
        for (std::size_t t = 0; t < terms.size(); ++t)
            gsl_matrix_set(design.get(), i, t, xs[std::size_t(terms[t].xPower)] * ys[std::size_t(terms[t].yPower)]);
    }
    return design;
}

// Coefficients of the polynomial in x alone that the model is along one row.
Powers rowPolynomial(const std::vector<double>& coefficients, const std::vector<Term>& terms, double y)
{
    const Powers ys = powersOf(y);
    Powers row{};
    for (std::size_t t = 0; t < terms.size(); ++t)
        row[std::size_t(terms[t].xPower)] += coefficients[t] * ys[std::size_t(terms[t].yPower)];
    return row;
}

double horner(const Powers& polynomial, int degree, double x)
{
    double value = polynomial[std::size_t(degree)];
    for (int k = degree - 1; k >= 0; --k)
        value = value * x + polynomial[std::size_t(k)];
    return value;
}

}  // namespace

std::vector<double> fitBackgroundModel(const BackgroundExtractorParams& params,
                                       const std::vector<BackgroundSample>& samples, int width, int height)
{
    requireBackgroundModelSize(width, height);
    requireSamples(samples.size(), params.polyDegree());
    const std::vector<Term> terms = polynomialTerms(params.polyDegree());
    const std::size_t n = samples.size(), p = terms.size();

    const GslMatrix design = designMatrix(samples, terms, width, height);
    const GslVector observed(gsl_vector_alloc(n));
    for (std::size_t i = 0; i < n; ++i)
        gsl_vector_set(observed.get(), i, samples[i].value);
    const GslVector fitted(gsl_vector_alloc(p));
    const GslMatrix covariance(gsl_matrix_alloc(p, p));
    const GslWorkspace work(gsl_multifit_linear_alloc(n, p));
    double chiSquared = 0.0;
    const int status =
        gsl_multifit_linear(design.get(), observed.get(), fitted.get(), covariance.get(), &chiSquared, work.get());
    if (status != GSL_SUCCESS)
        throw std::runtime_error(std::string("Background fit failed: ") + gsl_strerror(status));

    std::vector<double> coefficients(p);
    for (std::size_t t = 0; t < p; ++t)
        coefficients[t] = gsl_vector_get(fitted.get(), t);
    return coefficients;
}

cv::Mat evaluateBackgroundModel(const BackgroundExtractorParams& params, const std::vector<double>& coefficients,
                                int width, int height)
{
    requireBackgroundModelSize(width, height);
    const int degree = params.polyDegree();
    const std::vector<Term> terms = polynomialTerms(degree);
    if (coefficients.size() != terms.size())
        throw std::invalid_argument("A degree-" + std::to_string(degree) + " model needs " +
                                    std::to_string(terms.size()) + " coefficients, got " +
                                    std::to_string(coefficients.size()));
    std::vector<double> xs(static_cast<std::size_t>(width));
    for (int col = 0; col < width; ++col)
        xs[std::size_t(col)] = normalised(float(col), width);

    cv::Mat model(height, width, CV_32F);
    // Collapsing the y powers once per row leaves a polynomial in x alone,
    // evaluated per pixel by Horner's rule.
#pragma omp parallel for schedule(dynamic, kRowsPerChunk)
    for (int row = 0; row < height; ++row) {
        const Powers polynomial = rowPolynomial(coefficients, terms, normalised(float(row), height));
        float* out = model.ptr<float>(row);
        for (int col = 0; col < width; ++col)
            out[col] = float(horner(polynomial, degree, xs[std::size_t(col)]));
    }
    return model;
}

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gsl/gsl_multifit.h>

#include "fits/gslhelpers/GslErrors.h"
#include "processing/BackgroundExtractor.h"

using Mathematics::GSLHelpers::requireGslAllocated;
using Mathematics::GSLHelpers::requireGslSuccess;

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

GslMatrix allocateMatrix(std::size_t rows, std::size_t columns)
{
    GslMatrix matrix(gsl_matrix_calloc(rows, columns));
    requireGslAllocated(matrix.get(), "a " + std::to_string(rows) + "x" + std::to_string(columns) + " matrix");
    return matrix;
}

GslVector allocateVector(std::size_t size)
{
    GslVector vector(gsl_vector_calloc(size));
    requireGslAllocated(vector.get(), "a vector of " + std::to_string(size));
    return vector;
}

// Terms of degree two and more bend the model; a plane never does.
bool isCurved(const Term& term) { return term.xPower + term.yPower >= 2; }

// The weight of the smoothing penalty on each squared curved coefficient,
// relative to the sample count so that it does not depend on how many
// samples the grid found. It rises a decade for every quarter of the
// smoothness range: the bend of a bowl-shaped sky keeps about 90 % of its
// size at 0.25, 45 % at 0.5, 7 % at 0.75 and under 1 % at 1; higher terms,
// which vary less over the frame, give way sooner.
double penaltyWeight(float smoothness, std::size_t samples)
{
    return double(samples) * (std::pow(10.0, 4.0 * double(smoothness)) - 1.0) * 1e-4;
}

// The samples' rows, then one row per curved term holding sqrt(weight) in
// that term's column with an observation of 0: least squares on these rows
// is ridge regression on the curved coefficients alone.
std::size_t penaltyRows(const std::vector<Term>& terms, double weight)
{
    return weight > 0.0 ? std::size_t(std::count_if(terms.begin(), terms.end(), isCurved)) : 0;
}

GslMatrix designMatrix(const std::vector<BackgroundSample>& samples, const std::vector<Term>& terms, int width,
                       int height, double weight)
{
    GslMatrix design = allocateMatrix(samples.size() + penaltyRows(terms, weight), terms.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Powers xs = powersOf(normalised(samples[i].x, width));
        const Powers ys = powersOf(normalised(samples[i].y, height));
        for (std::size_t t = 0; t < terms.size(); ++t)
            gsl_matrix_set(design.get(), i, t, xs[std::size_t(terms[t].xPower)] * ys[std::size_t(terms[t].yPower)]);
    }
    std::size_t row = samples.size();
    for (std::size_t t = 0; t < terms.size() && weight > 0.0; ++t)
        if (isCurved(terms[t]))
            gsl_matrix_set(design.get(), row++, t, std::sqrt(weight));
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

    const double weight = penaltyWeight(params.smoothness(), n);
    const GslMatrix design = designMatrix(samples, terms, width, height, weight);
    const std::size_t rows = design->size1;
    // Penalty rows observe 0, which calloc already holds.
    const GslVector observed = allocateVector(rows);
    for (std::size_t i = 0; i < n; ++i)
        gsl_vector_set(observed.get(), i, samples[i].value);
    const GslVector fitted = allocateVector(p);
    const GslMatrix covariance = allocateMatrix(p, p);
    const GslWorkspace work(gsl_multifit_linear_alloc(rows, p));
    requireGslAllocated(work.get(), "the background fit's workspace");
    double chiSquared = 0.0;
    requireGslSuccess(
        gsl_multifit_linear(design.get(), observed.get(), fitted.get(), covariance.get(), &chiSquared, work.get()),
        "Background fit");

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

#pragma once

#include <memory>
#include <vector>

#include <QSharedPointer>
#include <QString>

#include <opencv2/core.hpp>
#include <parameters.h>

class FITSData;
class StellarSolver;

// A star as StellarSolver found it, in OpenCV's pixel convention (the centre
// of the first pixel is (0, 0)), position kept at full sub-pixel precision.
struct ExtractedStar {
    float x = 0.0f;
    float y = 0.0f;
    float flux = 0.0f;
    // Expected error of the position on one axis, in pixels, from the star's
    // flux against the image's noise (centroidError); 0 when not measured.
    float positionError = 0.0f;
};

// The expected one-axis error of a star's centroid when the sky's noise
// limits it: sqrt(8 pi) s^2 noise / flux for a star profile of standard
// deviation s, the image's background noise per pixel and the star's flux
// over that background. Infinite for a flux that is not positive.
float centroidError(float flux, float profileSigma, float backgroundNoise);

// The profile every extraction uses: SEP with a 5-pixel minimum area, a
// 2-pixel default convolution filter and no star filtering.
SSolver::Parameters extractionParameters();

// One star extraction: a StellarSolver set up for extraction only and the
// FITSData whose pixels it reads. Both are released with this object, on
// every path. Extraction needs a QCoreApplication in the process; without
// one it never returns.
class StarExtraction {
public:
    StarExtraction();
    ~StarExtraction();
    StarExtraction(const StarExtraction&) = delete;
    StarExtraction& operator=(const StarExtraction&) = delete;

    // Hands a grey copy of the image (colour through BGR-to-grey) to the
    // solver; the name only gives FITSData its extension. A float image goes
    // at its own depth and scale (faint stars keep their centroids), any
    // other through FITSData's 8-bit copy. False when FITSData refuses the
    // image (or the solver the buffer, which it does only while running).
    // Exceptions from OpenCV pass through.
    bool load(const cv::Mat& image, const QString& fileName);

    // Runs to completion; true when the solver reports extraction done and
    // not failed.
    bool extract();

    // The solver's star list, in its order. Each position away from other
    // stars is refined through a Gaussian window as wide as the image's
    // stars: the median width of the brightest unclipped ones, or a clipped
    // star's own width when that is wider (refineIsolatedCentroids). Each
    // centroidError comes from the image's width and the background's noise. When no star's width can
    // be measured, positions stay as the solver found them and the errors
    // use the median size the solver gives.
    std::vector<ExtractedStar> stars() const;

private:
    void loadFloat(const cv::Mat& image);
    // The grey image the solver read, as a view of FITSData's buffer.
    cv::Mat loadedGrey() const;

    // Declared first so that it outlives the solver, which reads its buffer
    // without copying it.
    QSharedPointer<FITSData> data_;
    std::unique_ptr<StellarSolver> solver_;
};

#include "alignment/StarExtraction.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QRect>

#include <opencv2/imgproc.hpp>

#include <stellarsolver.h>

#include "alignment/WindowedCentroid.h"
#include "fits/FITSData.h"

namespace {

// StellarSolver reports positions the FITS way, with the centre of the first
// pixel at (1, 1).
constexpr float kFitsPixelOrigin = 1.0f;

void setPhotometry(SSolver::Parameters& p)
{
    p.apertureShape = SSolver::SHAPE_CIRCLE;
    p.kron_fact = 2.5;
    p.subpix = 5;
    p.r_min = 3.5;
}

void setExtraction(SSolver::Parameters& p)
{
    p.inflags = 0;
    p.magzero = 20.0;
    p.minarea = 5.0;
    p.deblend_thresh = 32;
    p.deblend_contrast = 0.005;
    p.clean = 1;
    p.clean_param = 1.0;
    p.convFilterType = SSolver::CONV_DEFAULT;
    p.fwhm = 2.0;
}

void setStarFilter(SSolver::Parameters& p)
{
    p.partition = true;
    p.threshold_offset = 0.0;
    p.threshold_bg_multiple = 2.0;
    p.maxSize = 0.0;
    p.minSize = 0.0;
    p.maxEllipse = 0.0;
    p.initialKeep = 1000000;
    p.keepNum = 0;
    p.removeBrightest = 0.0;
    p.removeDimmest = 0.0;
    p.saturationLimit = 0.0;
}

// Extraction ignores these; they complete the profile.
void setSolving(SSolver::Parameters& p)
{
    p.multiAlgorithm = SSolver::MULTI_AUTO;
    p.inParallel = true;
    p.solverTimeLimit = 600;
    p.minwidth = 0.1;
    p.maxwidth = 180.0;
    p.resort = true;
    p.autoDownsample = true;
    p.downsample = 1;
    p.search_parity = 2;
    p.search_radius = 15.0;
    p.logratio_tosolve = std::log(1e9);
    p.logratio_tokeep = std::log(1e9);
    p.logratio_totune = std::log(1e6);
}

}  // namespace

SSolver::Parameters extractionParameters()
{
    SSolver::Parameters p;
    p.listName = "Default";
    p.description = QString();
    setPhotometry(p);
    setExtraction(p);
    setStarFilter(p);
    setSolving(p);
    return p;
}

StarExtraction::StarExtraction()
    : data_(new FITSData(FITSMode::Normal)), solver_(std::make_unique<StellarSolver>())
{
    solver_->setProperty("ProcessType", 0);
    solver_->setParameters(extractionParameters());
}

StarExtraction::~StarExtraction() = default;

// The float samples as they are, a colour image turned grey straight into
// the buffer FITSData keeps, described to FITSData, which computes the
// statistics the solver reads.
void StarExtraction::loadFloat(const cv::Mat& image)
{
    FITSImage::Statistic stats;
    stats.dataType = TFLOAT;
    stats.bytesPerPixel = sizeof(float);
    stats.ndim = 2;
    stats.width = uint16_t(image.cols);
    stats.height = uint16_t(image.rows);
    stats.channels = 1;
    stats.samples_per_channel = uint32_t(image.cols) * uint32_t(image.rows);
    stats.size = qint64(stats.samples_per_channel) * qint64(sizeof(float));
    auto* buffer = new uint8_t[std::size_t(stats.size)];
    data_->setImageBuffer(buffer);
    cv::Mat grey(image.rows, image.cols, CV_32F, buffer);
    if (image.channels() == 3)
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    else
        image.copyTo(grey);
    data_->restoreStatistics(stats);
    data_->calculateStats(true);
}

bool StarExtraction::load(const cv::Mat& image, const QString& fileName)
{
    if (image.depth() == CV_32F) {
        // FITSData's record holds 16-bit sides.
        if (image.cols > 65535 || image.rows > 65535 || image.empty() ||
            (image.channels() != 1 && image.channels() != 3))
            return false;
        loadFloat(image);
    } else if (!data_->loadFromMat(image, fileName)) {  // turns a colour image grey itself
        return false;
    }
    return solver_->loadNewImageBuffer(data_->getStatistics(), data_->getImageBuffer());
}

bool StarExtraction::extract()
{
    solver_->extract(false, QRect());
    return solver_->extractionDone() && !solver_->failed();
}

float centroidError(float flux, float profileSigma, float backgroundNoise)
{
    if (!(flux > 0.0f))
        return std::numeric_limits<float>::infinity();
    const double sqrtEightPi = std::sqrt(8.0 * 3.141592653589793);
    return float(sqrtEightPi * double(profileSigma) * double(profileSigma) * double(backgroundNoise) / double(flux));
}

namespace {

// Stars of this many of the brightest measure the profile's width: enough
// for a steady median, bright enough for each to be measured well.
constexpr std::size_t kWidthStars = 50;
// A star whose brightest pixel reaches this share of the image's brightest
// is taken as clipped: its flat top would widen the profile. Half, not all:
// in a colour image the grey mixes three channels, and one of them may be
// clipped well before the grey is.
constexpr double kClippedShare = 0.5;

// Every star of one image has the same profile; the median of their sizes
// stands for it, since a faint star's size is measured from its few
// brightest pixels only.
float medianSemiMajorAxis(const QList<FITSImage::Star>& list)
{
    std::vector<float> sizes;
    for (const FITSImage::Star& star : list)
        sizes.push_back(star.a);
    if (sizes.empty())
        return 0.0f;
    auto middle = sizes.begin() + std::ptrdiff_t(sizes.size() / 2);
    std::nth_element(sizes.begin(), middle, sizes.end());
    return *middle;
}

double brightestPixelNear(const cv::Mat& grey, const ExtractedStar& star)
{
    const cv::Rect core(int(std::lround(star.x)) - 1, int(std::lround(star.y)) - 1, 3, 3);
    double brightest = 0.0;
    cv::minMaxLoc(grey(core & cv::Rect(0, 0, grey.cols, grey.rows)), nullptr, &brightest);
    return brightest;
}

// The brightest stars whose cores are not clipped, or the brightest as they
// are when hardly any is unclipped. In a rich field the brightest stars are
// all clipped, so the unclipped are picked from the whole list.
std::vector<cv::Point2f> widthStars(const cv::Mat& grey, double imageBrightest, std::vector<ExtractedStar> stars)
{
    std::sort(stars.begin(), stars.end(),
              [](const ExtractedStar& a, const ExtractedStar& b) { return a.flux > b.flux; });
    std::vector<cv::Point2f> unclipped;
    std::vector<cv::Point2f> brightest;
    for (const ExtractedStar& star : stars) {
        if (brightest.size() < kWidthStars)
            brightest.emplace_back(star.x, star.y);
        if (unclipped.size() < kWidthStars && brightestPixelNear(grey, star) < kClippedShare * imageBrightest)
            unclipped.emplace_back(star.x, star.y);
    }
    return unclipped.size() >= 3 ? unclipped : brightest;
}

// The window each star is measured through: the image's profile, or for a
// clipped star its own wider one, since the light that places it lies in
// the wings around its flat top.
std::vector<float> windowSigmas(const cv::Mat& grey, double imageBrightest, const std::vector<ExtractedStar>& stars,
                                float profileSigma)
{
    std::vector<float> sigmas;
    for (const ExtractedStar& star : stars) {
        float sigma = profileSigma;
        if (brightestPixelNear(grey, star) >= kClippedShare * imageBrightest)
            sigma = std::max(sigma, gaussianProfileSigma(grey, {star.x, star.y}).value_or(profileSigma));
        sigmas.push_back(sigma);
    }
    return sigmas;
}

}  // namespace

cv::Mat StarExtraction::loadedGrey() const
{
    const FITSImage::Statistic& stats = data_->getStatistics();
    const int type = stats.dataType == TFLOAT ? CV_32F : CV_8U;
    return cv::Mat(stats.height, stats.width, type, data_->getImageBuffer());
}

std::vector<ExtractedStar> StarExtraction::stars() const
{
    const QList<FITSImage::Star>& list = solver_->getStarList();
    std::vector<ExtractedStar> stars;
    for (const FITSImage::Star& star : list)
        stars.push_back({star.x - kFitsPixelOrigin, star.y - kFitsPixelOrigin, star.flux, 0.0f});
    if (stars.empty())
        return stars;
    const cv::Mat grey = loadedGrey();
    const float noise = solver_->getBackground().globalrms;
    double imageBrightest = 0.0;
    cv::minMaxLoc(grey, nullptr, &imageBrightest);
    const std::optional<float> profileSigma = medianProfileSigma(grey, widthStars(grey, imageBrightest, stars));
    if (!profileSigma) {
        // No star could be measured through a window (all at the border,
        // say): the positions stay as extracted.
        const float extractedSigma = medianSemiMajorAxis(list);
        for (ExtractedStar& star : stars)
            star.positionError = centroidError(star.flux, extractedSigma, noise);
        return stars;
    }
    std::vector<cv::Point2f> positions;
    for (const ExtractedStar& star : stars)
        positions.emplace_back(star.x, star.y);
    refineIsolatedCentroids(grey, positions, windowSigmas(grey, imageBrightest, stars, *profileSigma));
    for (std::size_t i = 0; i < stars.size(); ++i) {
        stars[i].x = positions[i].x;
        stars[i].y = positions[i].y;
        stars[i].positionError = centroidError(stars[i].flux, *profileSigma, noise);
    }
    return stars;
}

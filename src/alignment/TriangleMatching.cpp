#include "alignment/TriangleMatching.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <set>
#include <vector>

#include <opencv2/calib3d.hpp>

namespace {

// Each star forms triangles with pairs of its nearest neighbours: small
// triangles survive a frame that lost or gained a few stars, and 6
// neighbours give 15 triangles per star, enough for every star to collect
// votes when one or two of its neighbours are missing in the other image.
constexpr int kNeighbours = 6;

// Triangles whose longest side is shorter than this are dominated by
// centroid noise of a tenth of a pixel, so their shape says little.
constexpr double kMinLongestSide = 5.0;

// Two triangles match when their side ratios differ by less than this: a
// centroid off by 0.3 px on sides of 30 px moves a ratio by about 0.02.
constexpr double kShapeTolerance = 0.02;

// A star pair named by a single triangle may be a chance likeness of shapes;
// a true pair is named by most of the triangles the star belongs to.
constexpr int kMinVotes = 2;

// An affine map is fixed by 3 pairs; 6 pairs agreeing within 3 px are far
// beyond what chance pairs of unrelated stars produce.
constexpr int kMinAgreeingStars = 6;

constexpr double kReprojectionThreshold = 3.0;
constexpr int kRansacIterations = 2000;
constexpr double kConfidence = 0.99;
constexpr int kRefinements = 10;

using Triple = std::array<int, 3>;

// Vertices ordered by the length of the side opposite each, shortest first,
// so that a triangle and its image (mirrored or not) list the same stars in
// the same order. The shape is (shortest, middle) / longest side.
struct Triangle {
    Triple vertices;
    cv::Point2d shape;
};

double length(const cv::Point2f& a, const cv::Point2f& b)
{
    return std::hypot(double(a.x) - b.x, double(a.y) - b.y);
}

std::vector<int> nearestNeighbours(const PointList& stars, int star)
{
    std::vector<int> others(stars.size());
    std::iota(others.begin(), others.end(), 0);
    others.erase(others.begin() + star);
    const int count = std::min(kNeighbours, int(others.size()));
    std::partial_sort(others.begin(), others.begin() + count, others.end(), [&](int a, int b) {
        return length(stars[star], stars[a]) < length(stars[star], stars[b]);
    });
    others.resize(count);
    return others;
}

// Every star with every pair of its neighbours, each triangle once.
std::set<Triple> neighbourTriples(const PointList& stars)
{
    std::set<Triple> triples;
    for (int star = 0; star < int(stars.size()); ++star) {
        const std::vector<int> near = nearestNeighbours(stars, star);
        for (std::size_t a = 0; a < near.size(); ++a)
            for (std::size_t b = a + 1; b < near.size(); ++b) {
                Triple t{star, near[a], near[b]};
                std::sort(t.begin(), t.end());
                triples.insert(t);
            }
    }
    return triples;
}

std::vector<Triangle> triangles(const PointList& stars)
{
    std::vector<Triangle> result;
    for (const Triple& t : neighbourTriples(stars)) {
        std::array<std::pair<double, int>, 3> opposite{{{length(stars[t[1]], stars[t[2]]), t[0]},
                                                        {length(stars[t[0]], stars[t[2]]), t[1]},
                                                        {length(stars[t[0]], stars[t[1]]), t[2]}}};
        std::sort(opposite.begin(), opposite.end());
        const double longest = opposite[2].first;
        if (longest < kMinLongestSide)
            continue;
        result.push_back({{opposite[0].second, opposite[1].second, opposite[2].second},
                          {opposite[0].first / longest, opposite[1].first / longest}});
    }
    std::sort(result.begin(), result.end(),
              [](const Triangle& a, const Triangle& b) { return a.shape.x < b.shape.x; });
    return result;
}

// votes[f][r]: how many matching triangle pairs put frame star f on
// reference star r. Reference triangles are sorted by their first ratio, so
// the candidates for a frame triangle form one run of that list.
std::vector<std::vector<int>> vote(const std::vector<Triangle>& reference, const std::vector<Triangle>& frame,
                                   std::size_t referenceCount, std::size_t frameCount)
{
    std::vector<std::vector<int>> votes(frameCount, std::vector<int>(referenceCount, 0));
    for (const Triangle& f : frame) {
        auto r = std::lower_bound(reference.begin(), reference.end(), f.shape.x - kShapeTolerance,
                                  [](const Triangle& t, double x) { return t.shape.x < x; });
        for (; r != reference.end() && r->shape.x <= f.shape.x + kShapeTolerance; ++r) {
            if (cv::norm(r->shape - f.shape) >= kShapeTolerance)
                continue;
            for (int k = 0; k < 3; ++k)
                ++votes[f.vertices[k]][r->vertices[k]];
        }
    }
    return votes;
}

// Each frame star with the reference star most triangles put it on.
void strongestPairs(const std::vector<std::vector<int>>& votes, const PointList& reference, const PointList& frame,
                    PointList& referencePoints, PointList& framePoints)
{
    for (std::size_t f = 0; f < votes.size(); ++f) {
        const auto best = std::max_element(votes[f].begin(), votes[f].end());
        if (best == votes[f].end() || *best < kMinVotes)
            continue;
        referencePoints.push_back(reference[std::size_t(best - votes[f].begin())]);
        framePoints.push_back(frame[f]);
    }
}

}  // namespace

cv::Mat matchByTriangles(const PointList& reference, const PointList& frame)
{
    if (int(reference.size()) < kMinAgreeingStars || int(frame.size()) < kMinAgreeingStars)
        return {};
    const auto votes = vote(triangles(reference), triangles(frame), reference.size(), frame.size());
    PointList referencePoints;
    PointList framePoints;
    strongestPairs(votes, reference, frame, referencePoints, framePoints);
    if (int(framePoints.size()) < kMinAgreeingStars)
        return {};
    std::vector<uchar> inliers;
    // Full affine rather than a similarity: a mirrored frame needs a negative determinant.
    const cv::Mat model = cv::estimateAffine2D(framePoints, referencePoints, inliers, cv::RANSAC,
                                               kReprojectionThreshold, kRansacIterations, kConfidence, kRefinements);
    const auto agreeing = std::count_if(inliers.begin(), inliers.end(), [](uchar in) { return in != 0; });
    if (model.empty() || agreeing < kMinAgreeingStars)
        return {};
    return model;
}

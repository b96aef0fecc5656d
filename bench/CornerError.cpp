#include "CornerError.h"

#include <algorithm>
#include <vector>

double worstCornerError(const cv::Mat& found, const cv::Matx33d& truth, int width, int height)
{
    const std::vector<cv::Point2d> corners = {{0, 0}, {width - 1.0, 0}, {0, height - 1.0}, {width - 1.0, height - 1.0}};
    std::vector<cv::Point2d> byFound;
    std::vector<cv::Point2d> byTruth;
    cv::perspectiveTransform(corners, byFound, found);
    cv::perspectiveTransform(corners, byTruth, cv::Mat(truth));
    double worst = 0.0;
    for (std::size_t i = 0; i < corners.size(); ++i)
        worst = std::max(worst, cv::norm(byFound[i] - byTruth[i]));
    return worst;
}

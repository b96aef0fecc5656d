#include "image/MatView.h"

#include <stdexcept>
#include <string>

namespace {

int matType(int channels)
{
    if (channels == 1)
        return CV_8UC1;
    if (channels == 3)
        return CV_8UC3;
    throw std::invalid_argument("Expected an image with 1 or 3 channels, found " + std::to_string(channels));
}

}  // namespace

cv::Mat matView(ImageBuffer<unsigned char>& image)
{
    return cv::Mat(image.height(), image.width(), matType(image.channels()), image.data());
}

cv::Mat matView(const ImageBuffer<unsigned char>& image)
{
    return matView(const_cast<ImageBuffer<unsigned char>&>(image));
}

std::shared_ptr<ImageBuffer<unsigned char>> bufferFromMat(const cv::Mat& mat)
{
    if (mat.depth() != CV_8U)
        throw std::invalid_argument("Expected an 8-bit matrix");
    matType(mat.channels());
    auto image = std::make_shared<ImageBuffer<unsigned char>>(mat.cols, mat.rows, mat.channels());
    cv::Mat target = matView(*image);
    mat.copyTo(target);
    return image;
}

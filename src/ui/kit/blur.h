#pragma once
// A Gaussian blur of an image in two passes (rows, then columns), for glows and soft shadows. Pixels outside
// the image count as transparent, so pad the image first when the blur should spread beyond it.
#include <QImage>

#include <vector>

namespace plindo::ui {

// `radius` is the standard deviation in pixels; 0 or less returns the image unchanged (as premultiplied ARGB).
QImage blurred(const QImage& image, double radius);

// The weights of a Gaussian of standard deviation `sigma` out to 3 sigma either side, summing to 1, written
// into `k` (a kept vector allocates nothing once it is large enough).
void gaussianKernel(double sigma, std::vector<float>& k);

}  // namespace plindo::ui

#pragma once
// A Gaussian blur of an image in two passes (rows, then columns), for glows and soft shadows. Pixels outside
// the image count as transparent, so pad the image first when the blur should spread beyond it.
#include <QImage>

namespace plindo::ui {

// `radius` is the standard deviation in pixels; 0 or less returns the image unchanged (as premultiplied ARGB).
QImage blurred(const QImage& image, double radius);

}  // namespace plindo::ui

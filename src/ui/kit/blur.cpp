#include "ui/kit/blur.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace plindo::ui {

namespace {

// One pass along `n` samples spaced `stride` pixels apart, from `src` into `dst` (both premultiplied ARGB).
void pass(const QRgb* src, QRgb* dst, int n, int stride, const std::vector<float>& kernel) {
    const int half = int(kernel.size() / 2);
    const float* k = kernel.data();
    for (int i = 0; i < n; ++i) {
        float a = 0, r = 0, g = 0, b = 0;
        const int lo = std::max(0, i - half), hi = std::min(n - 1, i + half);
        const float* w = k + (lo - i + half);
        const QRgb* px = src + ptrdiff_t(lo) * stride;
        for (int j = lo; j <= hi; ++j, ++w, px += stride) {
            const QRgb c = *px;
            if (c == 0) continue;  // transparent: most of a padded layer
            a += *w * float(qAlpha(c));
            r += *w * float(qRed(c));
            g += *w * float(qGreen(c));
            b += *w * float(qBlue(c));
        }
        // The sums are never negative: adding a half and truncating rounds them.
        const auto c = [](float v) { return std::min(255, int(v + 0.5f)); };
        const int ca = c(a);
        // Rounding must keep the premultiplied invariant (colour ≤ alpha).
        dst[ptrdiff_t(i) * stride] = qRgba(std::min(c(r), ca), std::min(c(g), ca), std::min(c(b), ca), ca);
    }
}

}  // namespace

void gaussianKernel(double sigma, std::vector<float>& k) {
    const int half = int(std::ceil(3.0 * sigma));
    k.resize(size_t(2 * half + 1));
    double sum = 0;
    for (int i = -half; i <= half; ++i) {
        const double v = std::exp(-0.5 * (i * i) / (sigma * sigma));
        k[size_t(i + half)] = float(v);
        sum += v;
    }
    for (auto& v : k) v = float(v / sum);
}

QImage blurred(const QImage& image, double radius) {
    QImage src = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (radius <= 0 || src.isNull()) return src;
    std::vector<float> k;
    gaussianKernel(radius, k);
    const int w = src.width(), h = src.height();
    QImage tmp(w, h, QImage::Format_ARGB32_Premultiplied);
    QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
    out.setDevicePixelRatio(src.devicePixelRatio());
    for (int y = 0; y < h; ++y)
        pass(reinterpret_cast<const QRgb*>(src.constScanLine(y)), reinterpret_cast<QRgb*>(tmp.scanLine(y)), w, 1, k);
    const int stride = int(tmp.bytesPerLine() / int(sizeof(QRgb)));
    for (int x = 0; x < w; ++x)
        pass(reinterpret_cast<const QRgb*>(tmp.constBits()) + x, reinterpret_cast<QRgb*>(out.bits()) + x, h, stride, k);
    return out;
}

}  // namespace plindo::ui

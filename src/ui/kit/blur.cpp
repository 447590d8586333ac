#include "ui/kit/blur.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace plindo::ui {

namespace {

std::vector<float> kernel(double sigma) {
    const int half = int(std::ceil(3.0 * sigma));
    std::vector<float> k(size_t(2 * half + 1));
    double sum = 0;
    for (int i = -half; i <= half; ++i) {
        const double v = std::exp(-0.5 * (i * i) / (sigma * sigma));
        k[size_t(i + half)] = float(v);
        sum += v;
    }
    for (auto& v : k) v = float(v / sum);
    return k;
}

// One pass along `n` samples spaced `stride` pixels apart, from `src` into `dst` (both premultiplied ARGB).
void pass(const QRgb* src, QRgb* dst, int n, int stride, const std::vector<float>& k) {
    const int half = int(k.size() / 2);
    for (int i = 0; i < n; ++i) {
        float a = 0, r = 0, g = 0, b = 0;
        const int lo = std::max(0, i - half), hi = std::min(n - 1, i + half);
        for (int j = lo; j <= hi; ++j) {
            const QRgb px = src[j * stride];
            const float w = k[size_t(j - i + half)];
            a += w * float(qAlpha(px));
            r += w * float(qRed(px));
            g += w * float(qGreen(px));
            b += w * float(qBlue(px));
        }
        auto c = [](float v) { return int(std::lround(std::clamp(v, 0.0f, 255.0f))); };
        const int ca = c(a);
        // Rounding must keep the premultiplied invariant (colour ≤ alpha).
        dst[i * stride] = qRgba(std::min(c(r), ca), std::min(c(g), ca), std::min(c(b), ca), ca);
    }
}

}  // namespace

QImage blurred(const QImage& image, double radius) {
    QImage src = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (radius <= 0 || src.isNull()) return src;
    const auto k = kernel(radius);
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

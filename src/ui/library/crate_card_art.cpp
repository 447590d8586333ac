#include "ui/library/crate_card_art.h"

#include "ui/kit/blur.h"
#include "ui/kit/colors.h"
#include "ui/kit/system_image.h"
#include "ui/kit/text_styles.h"
#include "ui/library/camelot.h"
#include "ui/library/crate_texts.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plindo::ui {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

QPainterPath rounded(const QRectF& r, double radius) {
    QPainterPath p;
    p.addRoundedRect(r, radius, radius);
    return p;
}

void paintPlaceholder(QPainter& p, const QRectF& r, const std::string& name) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, colors::withOpacity(colors::gray(), 0.5));
    g.setColorAt(1, colors::withOpacity(colors::gray(), 0.25));
    p.fillRect(r, g);
    p.setPen(colors::secondary());
    p.setFont(font(TextStyle::caption));
    p.drawText(r.adjusted(10, 10, -10, -10), Qt::AlignCenter | Qt::TextWordWrap, q(name));
}

void paintPicture(QPainter& p, const QRectF& r, const QImage& img) {
    // Fill the square, cropping the longer side.
    const double s = std::max(r.width() / img.width(), r.height() / img.height());
    const QSizeF drawn(img.width() * s, img.height() * s);
    const QRectF target(r.center().x() - drawn.width() / 2, r.center().y() - drawn.height() / 2, drawn.width(),
                        drawn.height());
    p.drawImage(target, img);
}

void paintFlipLabel(QPainter& p, const QRectF& r, const std::string& label) {
    QFont f = flipLabelFont(r.width());
    QFontMetricsF fm(f);
    const double room = r.width() - 20;
    const QString text = q(label);
    // Shrink to half size before cutting the label to one line.
    if (fm.horizontalAdvance(text) > room) {
        const double scale = std::max(0.5, room / fm.horizontalAdvance(text));
        f.setPixelSize(std::max(1, static_cast<int>(f.pixelSize() * scale)));
        fm = QFontMetricsF(f);
    }
    const double h = fm.height() + 12;
    const QRectF strip(r.left(), r.bottom() - h, r.width(), h);
    p.fillRect(strip, QColor(0, 0, 0, int(0.68 * 255)));
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(strip.adjusted(10, 6, -10, -6), Qt::AlignCenter, fm.elidedText(text, Qt::ElideRight, room));
}

}  // namespace

QFont flipLabelFont(double side) {
    return systemFont(static_cast<int>(std::lround(std::max(side * 0.055, 11.0))), QFont::ExtraBold);
}

QImage cardFace(const QImage* picture, const std::string& name, const std::string& label, double side, qreal dpr) {
    const int px = std::max(1, static_cast<int>(std::ceil(side * dpr)));
    QImage img(px, px, QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform | QPainter::TextAntialiasing);
    const QRectF r(0, 0, side, side);
    p.setClipPath(rounded(r, kCardCorner));
    if (picture && !picture->isNull()) paintPicture(p, r, *picture);
    else paintPlaceholder(p, r, name);
    if (!label.empty()) paintFlipLabel(p, r, label);
    return img;
}

CardBorder cardBorder(bool loaded, bool focused, bool played, double blink) {
    if (loaded) return {colors::withOpacity(colors::green(), 0.9), 3, {}};
    if (focused) return {colors::withOpacity(colors::yellow(), blink), 2.5, {}};
    if (played) return {colors::withOpacity(colors::red(), 0.65), 1.5, colors::withOpacity(colors::red(), 0.1)};
    return {QColor::fromHsvF(0.58f, 0.7f, 0.9f, 0.45f), 1, {}};
}

void paintCardBorder(QPainter& p, const QRectF& r, bool loaded, bool focused, bool played, double blink) {
    const CardBorder b = cardBorder(loaded, focused, played, blink);
    if (b.tint.isValid()) p.fillPath(rounded(r, kCardCorner), b.tint);
    // Stroked inside the shape.
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(b.colour, b.width));
    p.setBrush(Qt::NoBrush);
    const double in = b.width / 2;
    p.drawRoundedRect(r.adjusted(in, in, -in, -in), kCardCorner - in, kCardCorner - in);
    p.restore();
}

QRectF paintSticker(QPainter& p, const QRectF& cover, const TrackMetaLite& meta) {
    const StickerRows rows = stickerRows(meta);
    if (rows.empty()) return {};
    QFont codeFont = font(TextStyle::title2);
    codeFont.setBold(true);
    QFont rowFont = font(TextStyle::title3);
    rowFont.setWeight(QFont::DemiBold);
    const QFontMetricsF codeFm(codeFont), rowFm(rowFont);

    struct Row {
        QString text;
        QSizeF size;
        enum { code, plain, plays } kind;
    };
    std::vector<Row> list;
    if (!rows.camelot.empty()) {
        const QString t = q(rows.camelot);
        list.push_back({t, {codeFm.horizontalAdvance(t) + 24, codeFm.height() + 6}, Row::code});
    } else if (!rows.key.empty()) {
        const QString t = q(rows.key);
        list.push_back({t, {rowFm.horizontalAdvance(t), rowFm.height()}, Row::plain});
    }
    if (!rows.tempo.empty()) {
        const QString t = q(rows.tempo);
        list.push_back({t, {rowFm.horizontalAdvance(t), rowFm.height()}, Row::plain});
    }
    if (!rows.plays.empty()) {
        const QString t = q(rows.plays);
        const double icon = rowFm.height() * 0.8;
        list.push_back({t, {icon + 6 + rowFm.horizontalAdvance(t), rowFm.height()}, Row::plays});
    }
    double w = 0, h = 0;
    for (const Row& r : list) {
        w = std::max(w, r.size.width());
        h += r.size.height();
    }
    h += 5 * (list.size() - 1);
    const QRectF plate(cover.right() - 12 - (w + 24), cover.top() + 12, w + 24, h + 24);
    p.save();
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, int(0.55 * 255)));
    p.drawRoundedRect(plate, 10, 10);
    QRectF playsRect;
    double y = plate.top() + 12;
    const double right = plate.right() - 12;
    for (const Row& r : list) {
        const QRectF box(right - r.size.width(), y, r.size.width(), r.size.height());
        if (r.kind == Row::code) {
            p.setPen(Qt::NoPen);
            p.setBrush(camelotColor(rows.camelot));
            p.drawRoundedRect(box, box.height() / 2, box.height() / 2);
            p.setFont(codeFont);
            p.setPen(QColor(0, 0, 0, int(0.85 * 255)));
            p.drawText(box, Qt::AlignCenter, r.text);
        } else if (r.kind == Row::plain) {
            p.setFont(rowFont);
            p.setPen(Qt::white);
            p.drawText(box, Qt::AlignRight | Qt::AlignVCenter, r.text);
        } else {
            const double icon = rowFm.height() * 0.8;
            paintSystemImage(p, "play.fill", QRectF(box.left(), box.center().y() - icon / 2, icon, icon), Qt::white);
            p.setFont(rowFont);
            p.setPen(Qt::white);
            p.drawText(box, Qt::AlignRight | Qt::AlignVCenter, r.text);
            playsRect = box;
        }
        y += r.size.height() + 5;
    }
    p.restore();
    return playsRect;
}

QImage brightened(const QImage& src, QSize size, double b) {
    QImage out(size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    {
        QPainter p(&out);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(QRect(QPoint(0, 0), size), src);
    }
    const int add = static_cast<int>(std::lround(std::clamp(b, -1.0, 1.0) * 255));
    if (add == 0) return out;
    // Premultiplied: adding b to a channel of the colour adds b·alpha, kept within 0...alpha.
    const int w = out.width(), h = out.height();
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const QRgb c = line[x];
            const int a = qAlpha(c);
            if (a == 0) continue;
            const int d = a == 255 ? add : add * a / 255;
            line[x] = qRgba(std::clamp(qRed(c) + d, 0, a), std::clamp(qGreen(c) + d, 0, a),
                            std::clamp(qBlue(c) + d, 0, a), a);
        }
    }
    return out;
}

double shadowPad(double radius) { return std::ceil(radius * 1.5); }

QImage cardShadow(double side, double radius, double opacity, qreal dpr) {
    const double pad = shadowPad(radius);
    const int px = std::max(1, static_cast<int>(std::ceil((side + 2 * pad) * dpr)));
    QImage img(px, px, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    {
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(dpr, dpr);
        p.fillPath(rounded(QRectF(pad, pad, side, side), kCardCorner), QColor(0, 0, 0, int(opacity * 255)));
    }
    // The shadow's radius spreads like a blur of half that deviation.
    QImage blurredImg = blurred(img, radius / 2 * dpr);
    blurredImg.setDevicePixelRatio(dpr);
    return blurredImg;
}

namespace {

// a·(256 − w) + b·w over 256 on each channel of packed premultiplied ARGB; w in 0…256.
inline QRgb mix256(QRgb a, QRgb b, uint w) {
    const uint iw = 256 - w;
    const uint rb = (((a & 0x00ff00ffu) * iw + (b & 0x00ff00ffu) * w) >> 8) & 0x00ff00ffu;
    const uint ag = ((((a >> 8) & 0x00ff00ffu) * iw + ((b >> 8) & 0x00ff00ffu) * w) >> 8) & 0x00ff00ffu;
    return rb | (ag << 8);
}

// Each channel times a/255, rounded.
inline QRgb byteMul(QRgb x, uint a) {
    uint t = (x & 0x00ff00ffu) * a;
    t = ((t + ((t >> 8) & 0x00ff00ffu) + 0x00800080u) >> 8) & 0x00ff00ffu;
    uint u = ((x >> 8) & 0x00ff00ffu) * a;
    u = (u + ((u >> 8) & 0x00ff00ffu) + 0x00800080u) & 0xff00ff00u;
    return u | t;
}

struct Tap {
    int lo, hi;
    uint w;  // of hi, 0…256
};

#if defined(__SSE2__)
// a·(256 − w) + b·w over 256 on each channel of four packed pixels: each channel a 16-bit lane, where the sum
// never exceeds 16 bits.
inline __m128i mix4(__m128i a, __m128i b, __m128i wa, __m128i wb) {
    const __m128i zero = _mm_setzero_si128();
    const auto half = [&](__m128i x, __m128i y) {
        return _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(x, wa), _mm_mullo_epi16(y, wb)), 8);
    };
    return _mm_packus_epi16(half(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero)),
                            half(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero)));
}

// Four premultiplied pixels `s` over the four at `d`: s + d·(255 − alpha of s), as the one-pixel form does it.
inline void put4(QRgb* d, __m128i s) {
    const __m128i alpha = _mm_set1_epi32(int(0xff000000u));
    const __m128i a = _mm_and_si128(s, alpha);
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(a, alpha)) == 0xffff) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), s);
        return;
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(s, _mm_setzero_si128())) == 0xffff) return;
    const __m128i zero = _mm_setzero_si128();
    const __m128i rest = _mm_sub_epi32(_mm_set1_epi32(255), _mm_srli_epi32(s, 24));  // per pixel, in 32-bit lanes
    const __m128i rest16 = _mm_or_si128(rest, _mm_slli_epi32(rest, 16));             // twice per lane, 16 bits each
    const __m128i dv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d));
    const auto scale = [&](__m128i x, __m128i w) {
        const __m128i t = _mm_mullo_epi16(x, w);
        return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), _mm_set1_epi16(0x80)), 8);
    };
    const __m128i lo = scale(_mm_unpacklo_epi8(dv, zero), _mm_unpacklo_epi32(rest16, rest16));
    const __m128i hi = scale(_mm_unpackhi_epi8(dv, zero), _mm_unpackhi_epi32(rest16, rest16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_add_epi8(s, _mm_packus_epi16(lo, hi)));
}
#endif

// Row `out` = rows r0 and r1 mixed with weight `w` (of r1) over `n` pixels.
void mixRows(QRgb* out, const QRgb* r0, const QRgb* r1, int n, uint w) {
    int i = 0;
#if defined(__SSE2__)
    const __m128i wa = _mm_set1_epi16(short(256 - w)), wb = _mm_set1_epi16(short(w));
    for (; i + 4 <= n; i += 4) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), mix4(a, b, wa, wb));
    }
#endif
    for (; i < n; ++i) out[i] = mix256(r0[i], r1[i], w);
}

// The source samples of destination pixel centres `from`…`to` along one axis.
std::vector<Tap> taps(int from, int to, double origin, double step, int size, bool smooth) {
    std::vector<Tap> out;
    out.reserve(size_t(std::max(0, to - from + 1)));
    for (int i = from; i <= to; ++i) {
        double u = (i + 0.5 - origin) * step;
        if (!smooth) {
            const int n = std::clamp(int(std::floor(u)), 0, size - 1);
            out.push_back({n, n, 0});
            continue;
        }
        u -= 0.5;
        const int lo = int(std::floor(u));
        const uint w = uint(std::clamp(int((u - lo) * 256), 0, 256));
        out.push_back({std::clamp(lo, 0, size - 1), std::clamp(lo + 1, 0, size - 1), w});
    }
    return out;
}

}  // namespace

void blendScaled(QImage& dst, const QRectF& target, const QImage& src, const QRect& clip, bool smooth) {
    if (src.isNull() || !(target.width() > 0) || !(target.height() > 0)) return;
    if (src.format() != QImage::Format_ARGB32_Premultiplied) {
        blendScaled(dst, target, src.convertToFormat(QImage::Format_ARGB32_Premultiplied), clip, smooth);
        return;
    }
    // The raster engine's edges: a smooth draw covers the pixels whose centres lie inside the target, a plain
    // one the target's edges rounded.
    const auto edge = [smooth](double v) { return smooth ? int(std::ceil(v - 0.5)) : qRound(v); };
    const QRect covered = QRect(QPoint(edge(target.left()), edge(target.top())),
                                QPoint(edge(target.right()) - 1, edge(target.bottom()) - 1)) &
                          clip & dst.rect();
    if (covered.isEmpty()) return;
    auto xs =
        taps(covered.left(), covered.right(), target.left(), src.width() / target.width(), src.width(), smooth);
    const auto ys = taps(covered.top(), covered.bottom(), target.top(), src.height() / target.height(), src.height(),
                         smooth);
    const auto put = [](QRgb* at, QRgb s) {
        const uint a = qAlpha(s);
        if (a == 255) *at = s;
        else if (s != 0) *at = s + byteMul(*at, 255 - a);
    };
    if (!smooth) {
        for (int y = covered.top(); y <= covered.bottom(); ++y) {
            const auto* r = reinterpret_cast<const QRgb*>(src.constScanLine(ys[size_t(y - covered.top())].lo));
            auto* d = reinterpret_cast<QRgb*>(dst.scanLine(y)) + covered.left();
            size_t k = 0;
#if defined(__SSE2__)
            for (; k + 4 <= xs.size(); k += 4)
                put4(d + k, _mm_setr_epi32(int(r[xs[k].lo]), int(r[xs[k + 1].lo]), int(r[xs[k + 2].lo]),
                                           int(r[xs[k + 3].lo])));
#endif
            for (; k < xs.size(); ++k) put(d + k, r[xs[k].lo]);
        }
        return;
    }
    // Down, then across: each row mixes the two source rows it lies between over the columns its taps read,
    // then each pixel mixes two neighbours of that, four pixels at a time: read at once where their taps are
    // one column apart (a draw near its own size), else gathered.
    const int first = xs.front().lo, n = xs.back().hi - first + 1;
    for (Tap& t : xs) {  // from here on counted from the first column read
        t.lo -= first;
        t.hi -= first;
    }
    const size_t count = xs.size();
    std::vector<QRgb> mixed(static_cast<size_t>(n));
#if defined(__SSE2__)
    // Each tap's weights, for each of a pixel's four channels.
    std::vector<uint16_t> weights(count * 8);
    std::vector<char> together(count / 4);
    for (size_t k = 0; k < count; ++k)
        for (size_t c = 0; c < 4; ++c) {
            weights[k * 8 + c] = uint16_t(256 - xs[k].w);
            weights[k * 8 + 4 + c] = uint16_t(xs[k].w);
        }
    for (size_t g = 0; g < count / 4; ++g) {
        bool one = true;
        for (size_t k = g * 4; k < g * 4 + 4; ++k)
            one = one && xs[k].hi == xs[k].lo + 1 && (k == g * 4 || xs[k].lo == xs[k - 1].lo + 1);
        together[g] = one;
    }
#endif
    // Columns taken one for one, as a card at its own size on whole pixels across: rows mix straight into place.
    bool straight = true;
    for (size_t k = 0; k < count && straight; ++k) straight = xs[k].w == 0 && xs[k].lo == xs[0].lo + int(k);
    for (int y = covered.top(); y <= covered.bottom(); ++y) {
        const Tap& ty = ys[size_t(y - covered.top())];
        const auto* r0 = reinterpret_cast<const QRgb*>(src.constScanLine(ty.lo)) + first;
        const auto* r1 = reinterpret_cast<const QRgb*>(src.constScanLine(ty.hi)) + first;
        auto* d = reinterpret_cast<QRgb*>(dst.scanLine(y)) + covered.left();
        if (straight) {
            const QRgb *a = r0 + xs[0].lo, *b = r1 + xs[0].lo;
            const uint w = ty.hi != ty.lo ? ty.w : 0;
            size_t k = 0;
#if defined(__SSE2__)
            const __m128i wa = _mm_set1_epi16(short(256 - w)), wb = _mm_set1_epi16(short(w));
            for (; k + 4 <= count; k += 4) {
                const __m128i top = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
                put4(d + k, w == 0 ? top : mix4(top, _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k)), wa, wb));
            }
#endif
            for (; k < count; ++k) put(d + k, w == 0 ? a[k] : mix256(a[k], b[k], w));
            continue;
        }
        const QRgb* m = r0;
        if (ty.w != 0 && ty.hi != ty.lo) {
            mixRows(mixed.data(), r0, r1, n, ty.w);
            m = mixed.data();
        }
        size_t k = 0;
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        for (; k + 4 <= count; k += 4) {
            __m128i lo, hi;
            if (together[k / 4]) {
                lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m + xs[k].lo));
                hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m + xs[k].lo + 1));
            } else {
                lo = _mm_setr_epi32(int(m[xs[k].lo]), int(m[xs[k + 1].lo]), int(m[xs[k + 2].lo]), int(m[xs[k + 3].lo]));
                hi = _mm_setr_epi32(int(m[xs[k].hi]), int(m[xs[k + 1].hi]), int(m[xs[k + 2].hi]), int(m[xs[k + 3].hi]));
            }
            // Weights of pixels k, k+1 (low half of lo's lanes) and k+2, k+3: each tap's own eight.
            const auto* w = weights.data() + k * 8;
            const auto wv = [w](size_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + i * 8)); };
            const auto pick = [](__m128i a, __m128i b, bool low) {
                return low ? _mm_unpacklo_epi64(a, b) : _mm_unpackhi_epi64(a, b);
            };
            // Lanes: pixel k's channels, then pixel k+1's; weights of lo are the first four of each tap.
            const __m128i w0 = wv(0), w1 = wv(1), w2 = wv(2), w3 = wv(3);
            const __m128i half01 = _mm_srli_epi16(
                _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(lo, zero), pick(w0, w1, true)),
                              _mm_mullo_epi16(_mm_unpacklo_epi8(hi, zero), pick(w0, w1, false))),
                8);
            const __m128i half23 = _mm_srli_epi16(
                _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(lo, zero), pick(w2, w3, true)),
                              _mm_mullo_epi16(_mm_unpackhi_epi8(hi, zero), pick(w2, w3, false))),
                8);
            put4(d + k, _mm_packus_epi16(half01, half23));
        }
#endif
        for (; k < count; ++k) put(d + k, mix256(m[xs[k].lo], m[xs[k].hi], xs[k].w));
    }
}

namespace {

// Signed distance from (x, y) to the outline of a rounded rectangle of centre (cx, cy), half size (hx, hy) and
// corner radius `r`: below 0 inside.
inline double roundedDistance(double x, double y, double cx, double cy, double hx, double hy, double r) {
    const double qx = std::abs(x - cx) - (hx - r), qy = std::abs(y - cy) - (hy - r);
    const double ox = std::max(qx, 0.0), oy = std::max(qy, 0.0);
    return std::sqrt(ox * ox + oy * oy) + std::min(std::max(qx, qy), 0.0) - r;
}

// How much of a pixel whose centre lies `d` from an outline is inside it.
inline double coverage(double d) { return std::clamp(0.5 - d, 0.0, 1.0); }

}  // namespace

void paintRoundedBand(QImage& dst, const QRectF& outer, double radius, double width, const QColor& colour,
                      const QRect& clip) {
    if (!(outer.width() > 0) || !(outer.height() > 0) || colour.alpha() == 0) return;
    if (dst.format() != QImage::Format_RGB32 && dst.format() != QImage::Format_ARGB32_Premultiplied) return;
    const QRect box = QRect(QPoint(int(std::floor(outer.left())), int(std::floor(outer.top()))),
                            QPoint(int(std::ceil(outer.right())) - 1, int(std::ceil(outer.bottom())) - 1)) &
                      clip & dst.rect();
    if (box.isEmpty()) return;
    const double cx = outer.center().x(), cy = outer.center().y();
    const double hx = outer.width() / 2, hy = outer.height() / 2;
    const double ro = std::clamp(radius, 0.0, std::min(hx, hy));
    const bool fill = !(width > 0) || width >= std::min(hx, hy);
    // The inner outline: the outer one moved in by the width, its corners shrinking with it.
    const double ihx = hx - width, ihy = hy - width, ri = std::clamp(ro - width, 0.0, std::max(0.0, std::min(ihx, ihy)));
    const QRgb premul = qPremultiply(colour.rgba());
    // The colour laid on a pixel of the band at coverage `cover`.
    const auto paint = [premul](double cover) -> QRgb {
        const uint a = uint(std::clamp(cover, 0.0, 1.0) * 255 + 0.5);
        return a == 0 ? 0 : a >= 255 ? premul : byteMul(premul, a);
    };
    const auto at = [&](double xc, double yc) {
        const double c = coverage(roundedDistance(xc, yc, cx, cy, hx, hy, ro));
        return paint(fill || c == 0 ? c : c - coverage(roundedDistance(xc, yc, cx, cy, ihx, ihy, ri)));
    };
    const auto put = [](QRgb* d, QRgb s) {
        if (s != 0) *d = s + byteMul(*d, 255 - qAlpha(s));
    };
    // Pixels further than `reach` from both ends of a row or a column lie where the outlines run straight:
    // their colour follows their column alone (in the sides) or their row alone (in the top and bottom), and
    // only the corners need the distance of each pixel.
    const double reach = std::max(ro, fill ? 0.0 : width) + 1.5;
    const int left = int(std::floor(outer.left()));
    const int leftEnd = int(std::floor(outer.left() + reach)), rightStart = int(std::ceil(outer.right() - reach)) - 1;
    const int topEnd = int(std::floor(outer.top() + reach)), bottomStart = int(std::ceil(outer.bottom() - reach)) - 1;
    const int rightEnd = int(std::ceil(outer.right())) - 1;
    constexpr int kMost = 64;
    if (rightStart <= leftEnd + 1 || bottomStart <= topEnd + 1 || leftEnd - left >= kMost ||
        rightEnd - rightStart >= kMost) {
        for (int y = box.top(); y <= box.bottom(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(dst.scanLine(y));
            for (int x = box.left(); x <= box.right(); ++x) put(line + x, at(x + 0.5, y + 0.5));
        }
        return;
    }
    std::array<QRgb, kMost> leftSide{}, rightSide{};
    for (int x = left; x <= leftEnd; ++x) leftSide[size_t(x - left)] = at(x + 0.5, cy);
    for (int x = rightStart; x <= rightEnd; ++x) rightSide[size_t(x - rightStart)] = at(x + 0.5, cy);
    const QRgb middle = fill ? premul : 0;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(dst.scanLine(y));
        const double yc = y + 0.5;
        const bool edgeRow = y <= topEnd || y >= bottomStart;
        const int l1 = std::min(box.right(), leftEnd), r0 = std::max(box.left(), rightStart);
        if (edgeRow) {
            for (int x = box.left(); x <= l1; ++x) put(line + x, at(x + 0.5, yc));
            for (int x = r0; x <= box.right(); ++x) put(line + x, at(x + 0.5, yc));
        } else {
            for (int x = box.left(); x <= l1; ++x) put(line + x, leftSide[size_t(x - left)]);
            for (int x = r0; x <= box.right(); ++x) put(line + x, rightSide[size_t(x - rightStart)]);
        }
        const QRgb s = edgeRow ? at(cx, yc) : middle;
        if (s != 0)
            for (int x = std::max(box.left(), leftEnd + 1); x <= std::min(box.right(), rightStart - 1); ++x)
                put(line + x, s);
    }
}

}  // namespace plindo::ui

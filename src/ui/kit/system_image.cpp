#include "ui/kit/system_image.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <functional>
#include <map>
#include <numbers>

namespace plindo::ui {

namespace {

// Every symbol is drawn on a 24 × 24 grid; the painter is already scaled, its pen and brush set to the colour.
using Draw = std::function<void(QPainter&)>;

QPen line(const QPainter& p, double width) {
    QPen pen(p.pen().color(), width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    return pen;
}

void stroke(QPainter& p, const QPainterPath& path, double width = 2.0) {
    p.save();
    p.setPen(line(p, width));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
    p.restore();
}

void fill(QPainter& p, const QPainterPath& path) {
    p.save();
    p.setPen(Qt::NoPen);
    p.drawPath(path);
    p.restore();
}

QPainterPath polyline(std::initializer_list<QPointF> pts) {
    QPainterPath path;
    auto it = pts.begin();
    path.moveTo(*it);
    for (++it; it != pts.end(); ++it) path.lineTo(*it);
    return path;
}

QPainterPath chevron(double angleDeg) {
    QTransform t;
    t.translate(12, 12).rotate(angleDeg).translate(-12, -12);
    return t.map(polyline({{9, 5}, {16, 12}, {9, 19}}));  // points right at 0°
}

QPainterPath gear(bool solid) {
    QPainterPath teeth;
    constexpr int kTeeth = 8;
    for (int i = 0; i < kTeeth; ++i) {
        QPainterPath tooth;
        tooth.addRoundedRect(QRectF(10, 1.5, 4, 6), 1, 1);
        QTransform t;
        t.translate(12, 12).rotate(360.0 * i / kTeeth).translate(-12, -12);
        teeth = teeth.united(t.map(tooth));
    }
    QPainterPath body;
    body.addEllipse(QPointF(12, 12), 8, 8);
    QPainterPath hole;
    hole.addEllipse(QPointF(12, 12), 3.2, 3.2);
    QPainterPath g = teeth.united(body);
    if (solid) return g.subtracted(hole);
    QPainterPath inner;
    inner.addEllipse(QPointF(12, 12), 6.3, 6.3);
    return g.subtracted(inner).united(QPainterPath(hole).subtracted([] {
        QPainterPath h;
        h.addEllipse(QPointF(12, 12), 1.6, 1.6);
        return h;
    }()));
}

void drawPlay(QPainter& p) {
    QPainterPath path;
    path.moveTo(6, 3.5);
    path.lineTo(20, 12);
    path.lineTo(6, 20.5);
    path.closeSubpath();
    fill(p, path);
}

void drawPause(QPainter& p) {
    QPainterPath path;
    path.addRoundedRect(QRectF(5.5, 4, 4.5, 16), 1.2, 1.2);
    path.addRoundedRect(QRectF(14, 4, 4.5, 16), 1.2, 1.2);
    fill(p, path);
}

void drawLink(QPainter& p) {
    // Two interlocked chain links on the diagonal.
    QTransform t;
    t.translate(12, 12).rotate(-45).translate(-12, -12);
    QPainterPath a, b;
    a.addRoundedRect(QRectF(1.5, 8.5, 12.5, 7), 3.5, 3.5);
    b.addRoundedRect(QRectF(10, 8.5, 12.5, 7), 3.5, 3.5);
    stroke(p, t.map(a), 2.0);
    stroke(p, t.map(b), 2.0);
}

void drawCheckmark(QPainter& p) { stroke(p, polyline({{4.5, 12.5}, {9.5, 17.5}, {19.5, 6.5}}), 2.4); }

void drawNosign(QPainter& p) {
    QPainterPath ring;
    ring.addEllipse(QPointF(12, 12), 8.5, 8.5);
    stroke(p, ring, 2.0);
    stroke(p, polyline({{6, 6}, {18, 18}}), 2.0);
}

void drawKeyboard(QPainter& p) {
    QPainterPath box;
    box.addRoundedRect(QRectF(2, 6, 20, 12), 2, 2);
    stroke(p, box, 1.6);
    QPainterPath keys;
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 6; ++col) keys.addRect(QRectF(4.5 + col * 2.6, 8.3 + row * 2.7, 1.6, 1.6));
    keys.addRect(QRectF(7, 14, 10, 1.6));
    fill(p, keys);
}

void drawFolder(QPainter& p) {
    QPainterPath path;
    path.moveTo(2.5, 7);
    path.lineTo(2.5, 5.5);
    path.quadTo(2.5, 4.5, 3.5, 4.5);
    path.lineTo(9, 4.5);
    path.lineTo(11, 7);
    path.lineTo(20.5, 7);
    path.quadTo(21.5, 7, 21.5, 8);
    path.lineTo(21.5, 18.5);
    path.quadTo(21.5, 19.5, 20.5, 19.5);
    path.lineTo(3.5, 19.5);
    path.quadTo(2.5, 19.5, 2.5, 18.5);
    path.closeSubpath();
    stroke(p, path, 1.6);
    stroke(p, polyline({{2.5, 9.5}, {21.5, 9.5}}), 1.4);
}

void drawMusicNoteList(QPainter& p) {
    for (int i = 0; i < 3; ++i) stroke(p, polyline({{2.5, 5.5 + i * 4.5}, {12.5, 5.5 + i * 4.5}}), 1.8);
    stroke(p, polyline({{19, 15.5}, {19, 4}, {22, 5}}), 1.8);
    QPainterPath head;
    head.addEllipse(QPointF(16.5, 16.5), 2.8, 2.2);
    fill(p, head);
}

void drawArrowRightToLine(QPainter& p) {
    stroke(p, polyline({{3, 12}, {16, 12}}), 2.0);
    stroke(p, polyline({{11, 7}, {16, 12}, {11, 17}}), 2.0);
    stroke(p, polyline({{20.5, 5}, {20.5, 19}}), 2.0);
}

void drawSquareStack(QPainter& p) {
    QPainterPath front;
    front.addRoundedRect(QRectF(4, 9, 16, 11), 2, 2);
    stroke(p, front, 1.6);
    stroke(p, polyline({{6, 6.5}, {18, 6.5}}), 1.6);
    stroke(p, polyline({{8, 4}, {16, 4}}), 1.6);
}

void drawOpticalDisc(QPainter& p) {
    QPainterPath disc;
    disc.addEllipse(QPointF(12, 12), 9.5, 9.5);
    stroke(p, disc, 1.6);
    QPainterPath hub;
    hub.addEllipse(QPointF(12, 12), 2.6, 2.6);
    stroke(p, hub, 1.4);
    QPainterPath arc;
    arc.arcMoveTo(QRectF(5.5, 5.5, 13, 13), 100);
    arc.arcTo(QRectF(5.5, 5.5, 13, 13), 100, 60);
    stroke(p, arc, 1.2);
}

void drawWifiExclamation(QPainter& p) {
    for (int i = 0; i < 3; ++i) {
        const double r = 4.5 + i * 4.0;
        QPainterPath arc;
        const QRectF box(10 - r, 18 - r, 2 * r, 2 * r);
        arc.arcMoveTo(box, 50);
        arc.arcTo(box, 50, 80);
        stroke(p, arc, 1.8);
    }
    QPainterPath dot;
    dot.addEllipse(QPointF(10, 18.5), 1.5, 1.5);
    fill(p, dot);
    stroke(p, polyline({{20, 9}, {20, 16}}), 2.0);
    QPainterPath bang;
    bang.addEllipse(QPointF(20, 19.5), 1.2, 1.2);
    fill(p, bang);
}

const std::map<std::string, Draw>& table() {
    static const std::map<std::string, Draw> t = {
        {"arrow.right.to.line", drawArrowRightToLine},
        {"checkmark", drawCheckmark},
        {"chevron.down", [](QPainter& p) { stroke(p, chevron(90), 2.2); }},
        {"chevron.left", [](QPainter& p) { stroke(p, chevron(180), 2.2); }},
        {"chevron.right", [](QPainter& p) { stroke(p, chevron(0), 2.2); }},
        {"chevron.up", [](QPainter& p) { stroke(p, chevron(-90), 2.2); }},
        {"folder", drawFolder},
        {"gearshape", [](QPainter& p) { fill(p, gear(false)); }},
        {"gearshape.fill", [](QPainter& p) { fill(p, gear(true)); }},
        {"keyboard", drawKeyboard},
        {"link", drawLink},
        {"music.note.list", drawMusicNoteList},
        {"nosign", drawNosign},
        {"opticaldisc", drawOpticalDisc},
        {"pause.fill", drawPause},
        {"play.fill", drawPlay},
        {"square.stack", drawSquareStack},
        {"wifi.exclamationmark", drawWifiExclamation},
    };
    return t;
}

}  // namespace

bool paintSystemImage(QPainter& p, const std::string& name, const QRectF& rect, const QColor& color) {
    const auto it = table().find(name);
    if (it == table().end()) return false;
    const double side = std::min(rect.width(), rect.height());
    if (side <= 0) return true;
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(rect.center().x() - side / 2, rect.center().y() - side / 2);
    p.scale(side / 24.0, side / 24.0);
    p.setPen(QPen(color));
    p.setBrush(color);
    it->second(p);
    p.restore();
    return true;
}

QPixmap systemPixmap(const std::string& name, int px, const QColor& color, qreal dpr) {
    QPixmap pm(QSize(px, px) * dpr);
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    paintSystemImage(p, name, QRectF(0, 0, px, px), color);
    return pm;
}

QIcon systemIcon(const std::string& name, int px, const QColor& color) {
    QIcon icon;
    icon.addPixmap(systemPixmap(name, px, color, 1.0));
    icon.addPixmap(systemPixmap(name, px, color, 2.0));
    return icon;
}

std::vector<std::string> systemImageNames() {
    std::vector<std::string> names;
    for (const auto& [name, draw] : table()) names.push_back(name);
    return names;
}

}  // namespace plindo::ui

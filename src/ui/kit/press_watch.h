#pragma once
// Tells when the mouse is pressed anywhere inside an area, without taking the press from the widget that
// gets it: an application event filter, once per press (an ignored press climbs the parent chain through
// the filter again).
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>

namespace plindo::ui {

class PressWatch : public QObject {
    Q_OBJECT

public:
    PressWatch(QWidget* area, std::function<void()> onPress);
    ~PressWatch() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> area_;
    std::function<void()> onPress_;
    const QEvent* seen_ = nullptr;
    QPointer<QWidget> seenAt_;
};

}  // namespace plindo::ui

#include "host/qt_main_executor.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace plindo::host {

QtMainExecutor::QtMainExecutor() = default;

QtMainExecutor::~QtMainExecutor() { settleHandOffs(); }

void QtMainExecutor::post(std::function<void()> f) {
    QMetaObject::invokeMethod(&anchor_, std::move(f), Qt::QueuedConnection);
}

void QtMainExecutor::invokeSync(const std::function<void()>& f) {
    if (QThread::currentThread() == anchor_.thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(&anchor_, [&f] { f(); }, Qt::BlockingQueuedConnection);
}

}  // namespace plindo::host

#pragma once
// The main actor of the host: the Qt main thread, reached from the lower folders through MainExecutor.
#include "platform/main_executor.h"

#include <QObject>

namespace plindo::host {

class QtMainExecutor final : public platform::MainExecutor {
public:
    // Must be made on the main thread, after the application object.
    QtMainExecutor();
    ~QtMainExecutor() override;
    void post(std::function<void()> f) override;
    void invokeSync(const std::function<void()>& f) override;

private:
    QObject anchor_;  // lives on the main thread; queued calls run in its thread
};

}  // namespace plindo::host

#include "ui/library/cover_source.h"

#include "host/qt_main_executor.h"

namespace plindo::ui {

StoreCoverSource& StoreCoverSource::shared() {
    // Both live for the process, like the store itself.
    static auto* main = new host::QtMainExecutor();
    static auto* source = new StoreCoverSource(library::CoverStore::shared(*main));
    return *source;
}

}  // namespace plindo::ui

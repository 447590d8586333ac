#include "ui/library/cover_source.h"

#include "host/qt_main_executor.h"

#include <QImage>

namespace plindo::ui {

StoreCoverSource& StoreCoverSource::shared() {
    // Both live for the process, like the store itself.
    static auto* main = new host::QtMainExecutor();
    // Bytes that only start like an image are no cover.
    static auto* source = new StoreCoverSource(library::CoverStore::shared(*main, [](std::span<const uint8_t> bytes) {
        QImage img;
        return img.loadFromData(bytes.data(), static_cast<int>(bytes.size()));
    }));
    return *source;
}

}  // namespace plindo::ui

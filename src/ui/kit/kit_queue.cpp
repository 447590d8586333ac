#include "ui/kit/kit_queue.h"

namespace plindo::ui {

platform::SerialQueue& kitQueue() {
    static platform::SerialQueue queue("plindo.ui.net");
    return queue;
}

}  // namespace plindo::ui

#pragma once
// The window's one background queue for network reads (the track server's texts and images).
#include "platform/serial_queue.h"

namespace plindo::ui {

platform::SerialQueue& kitQueue();

}  // namespace plindo::ui

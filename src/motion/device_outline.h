#pragma once
// The size and kind of the device lying on a platter, as the phone's diagnostics record reports it.
namespace plindo::motion::DeviceOutline {

enum class Kind { phone = 0, pad = 1, watch = 2, bud = 3 };

enum class Source {
    gemeldet = 0,   // the device reported its own size
    unbekannt = 1,  // size unknown, a default was assumed
};

struct Outline {
    Kind kind = Kind::phone;
    double lengthCm = 0;
    double widthCm = 0;
    Source source = Source::unbekannt;
};

}  // namespace plindo::motion::DeviceOutline

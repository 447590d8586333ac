#pragma once
// Small value types of the phone's platter estimator, carried by its diagnostics record.
namespace plindo::motion::DynamoProbe {

// A tilt: unit direction in the platter plane, angle in degrees, confidence (0 to 1 and beyond).
struct Tilt {
    double dx = 0;
    double dy = 0;
    double deg = 0;
    double conf = 0;
};

// Two candidate platter centres, centimetres.
struct Roots {
    double ax = 0;
    double ay = 0;
    double bx = 0;
    double by = 0;
    bool two = false;
    bool provisional = false;
    bool arbitrary = false;
    double conf = 0;
};

// What moved the platter: nothing, the motor, or the DJ's hand.
enum class Source { none, spin, push };

}  // namespace plindo::motion::DynamoProbe

#pragma once
// One decoded snapshot of a phone's platter estimator (where it lies on the platter, how platter and phone
// are tilted, its recent trail), kept per deck and drawn by the diagnostics views. Numbers are passed through
// as the phone sent them; only ages become media-clock times.
#include "motion/device_outline.h"
#include "motion/dynamo_probe.h"

#include <optional>
#include <string>
#include <vector>

namespace plindo::motion {

namespace DynamoGate {

enum class Turn { dynamo, stato };
enum class Feed { lgs, live };

struct Mode {
    Turn turn = Turn::dynamo;
    Feed feed = Feed::lgs;
};

}  // namespace DynamoGate

struct DynamoFrame {
    // One point of the trail.
    struct Mark {
        double x = 0;
        double y = 0;
        double t = 0;  // media-clock seconds
        bool scratching = false;
        bool lifted = false;
        double da = 0;
        DynamoProbe::Source src = DynamoProbe::Source::none;
    };

    // One event that the estimator fired, with the platter and phone tilts at that moment.
    struct Fired {
        double t = 0;  // media-clock seconds
        std::string label;
        double pdx = 0;
        double pdy = 0;
        double pdeg = 0;
        double hdx = 0;
        double hdy = 0;
        double hdeg = 0;
    };

    struct Point {
        double x = 0;
        double y = 0;
    };

    DynamoGate::Mode mode;
    double theta = 0;
    double psiDeg = 0;
    double dRhoCm = 0;
    double now = 0;  // the media-clock time of decoding
    DynamoProbe::Tilt tiltPlatter;
    DynamoProbe::Tilt tiltPhone;
    DynamoProbe::Tilt tiltWorld;
    std::vector<Mark> tail;  // oldest first
    bool tailThinned = false;
    std::vector<Point> frame;  // the device outline's corners in platter centimetres
    double chipX = 0;
    double chipY = 0;
    double anchorCm = 0;
    bool anchorValid = false;
    bool anchorHeld = false;
    bool latchValid = false;
    std::string latchWhy;
    double lgsX = 0;
    double lgsY = 0;
    double lgsCond = 0;
    double lgsResidG = 0;
    bool lgsSeparated = false;
    bool lgsValid = false;
    bool lgsCarries = false;
    double c20X = 0;
    double c20Y = 0;
    bool c20Valid = false;
    double accNowG = 0;
    double accBodyG = 0;
    double accWorldG = 0;
    double accDropped = 0;
    bool accValid = false;
    double merPhaseDeg = 0;
    double merAmpUT = 0;
    double merHardUT = 0;
    double merADeg = 0;
    double merBDeg = 0;
    bool merValid = false;
    double tiltGravDeg = 0;
    double tiltGyroDeg = 0;
    double wobbleG = 0;
    double wobbleDeg = 0;
    double measDx = 0;
    double measDy = 0;
    std::optional<DynamoProbe::Roots> roots;
    std::vector<Fired> fired;
    double rateDeg = 0;
    bool spinning = false;
    double windows = 0;
    double perpNow = 0;
    double headAxG = 0;
    double headAyG = 0;
    double omega = 0;
    double alpha = 0;
    double servedAngle = 0;
    double sigmaCm = 0;
    double cEstX = 0;
    double cEstY = 0;
    bool cEstValid = false;
    double pvtX = 0;
    double pvtY = 0;
    bool pvtValid = false;
    double pvtResidCm = 0;
    DynamoProbe::Source srcNow = DynamoProbe::Source::none;
    bool settling = false;
    bool beliefValid = false;
    bool scOld = false;
    bool scCls = false;
    bool scHold = false;
    bool scOther = false;
    bool liftNow = false;
    DeviceOutline::Outline outline;
    std::string origin;
};

}  // namespace plindo::motion

// The timeline time of each decoded picture of a looping file: from its time
// stamp relative to its pass's first one, or by counting frames when it has
// none. Every pass starts where the last ended: one pass length later when
// the length is known (so audio can loop with it), else the last picture's
// time plus its own length.
#pragma once

#include <optional>

namespace Veltrix::host {

class PictureClock {
public:
    PictureClock(double frameSeconds, double passSeconds) : frame_(frameSeconds), pass_(passSeconds) {}

    // The time of the next picture: stamp in seconds (nothing without one);
    // looped when it is the first of a new pass. The very first shows from 0.
    double Next(std::optional<double> stamp, bool looped) {
        if (looped) {
            passStart_ = pass_ > 0 ? passStart_ + pass_ : last_ + frame_;
            first_.reset();
            frames_ = 0;  // counted afresh: a pass without stamps starts at its start
        }
        double t;
        if (!stamp) {
            t = passStart_ + static_cast<double>(frames_) * frame_;
        } else {
            if (!first_) first_ = stamp;
            t = passStart_ + (*stamp - *first_);
        }
        ++frames_;
        if (!started_) t = 0;
        started_ = true;
        last_ = t;
        return t;
    }

private:
    double frame_, pass_;
    double passStart_ = 0, last_ = 0;
    std::optional<double> first_;
    long long frames_ = 0;
    bool started_ = false;
};

}  // namespace Veltrix::host

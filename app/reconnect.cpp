#include "app/reconnect.h"

namespace serialtap {

void Reconnect::lose(Clock::time_point now) {
    // The loss has been reported by the pass; failures to close a handle
    // whose device is gone add nothing.
    port_.closePort();
    port_.closeEvent();
    away_ = true;
    nextTry_ = now + kRetryInterval;
    lastReported_.clear();
}

std::optional<Reconnect::Clock::time_point> Reconnect::nextTry() const {
    if (!away_) return std::nullopt;
    return nextTry_;
}

bool Reconnect::tryIfDue(Clock::time_point now) {
    if (!away_ || now < nextTry_) return false;
    if (port_.open(settings_, true)) {
        away_ = false;
        std::fputs("serial port reopened\n", messages_);
        return true;
    }
    nextTry_ = now + kRetryInterval;
    if (port_.openFoundNoPort()) {
        lastReported_.clear();
    } else if (port_.openFailure() != lastReported_) {
        lastReported_ = port_.openFailure();
        std::fputs(lastReported_.c_str(), messages_);
    }
    return true;
}

}  // namespace serialtap

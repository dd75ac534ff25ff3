#include "app/reconnect.h"

namespace serialtap {

void Reconnect::lose(Clock::time_point now) {
    // The loss has been reported by the pass; failures to close a handle
    // whose device is gone add nothing.
    bool returns = port_.reopenable();
    port_.closePort();
    port_.closeEvent();
    away_ = true;
    if (view_ != nullptr) view_->portStateChanged(PortState::Lost, viewPort_);
    lastReported_.clear();
    nextTry_.reset();
    if (!returns) {
        say("serial port not reopened: a pseudo-terminal that hung up does not come back\n");
        return;
    }
    nextTry_ = now + kRetryInterval;
}

void Reconnect::staysLost() {
    if (lostForGood_) return;
    lostForGood_ = true;
    if (view_ != nullptr) view_->portStateChanged(PortState::Lost, viewPort_);
}

std::optional<Reconnect::Clock::time_point> Reconnect::nextTry() const {
    if (!away_) return std::nullopt;
    return nextTry_;
}

bool Reconnect::tryIfDue(Clock::time_point now) {
    if (!away_ || !nextTry_ || now < *nextTry_) return false;
    if (port_.open(settings_, true)) {
        away_ = false;
        nextTry_.reset();
        say("serial port reopened\n");
        if (view_ != nullptr) view_->portStateChanged(PortState::Back, viewPort_);
        return true;
    }
    nextTry_ = now + kRetryInterval;
    if (port_.openFoundNoPort()) {
        lastReported_.clear();
    } else if (port_.openFailure() != lastReported_) {
        lastReported_ = port_.openFailure();
        say(lastReported_);
    }
    return true;
}

void Reconnect::say(const std::string& message) {
    if (say_) {
        say_(message);
        return;
    }
    if (view_ != nullptr) view_->beforeMessage();
    std::fputs(message.c_str(), messages_);
}

}  // namespace serialtap

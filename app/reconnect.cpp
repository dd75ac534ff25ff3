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
    opening_ = false;
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

void Reconnect::addSources(WaitSet& set, std::size_t port) {
    if (!away_) return;
    if (opening_) {
        port_.addSources(set, port);
    } else {
        set.due(nextTry_);
    }
}

bool Reconnect::advance(const WaitSet& set, Clock::time_point now) {
    if (!away_) return false;
    if (opening_) {
        port_.sourcesFound(set);
        return settle(port_.continueOpen());
    }
    if (!nextTry_ || now < *nextTry_) return false;
    return settle(port_.beginOpen(settings_, true));
}

bool Reconnect::settle(OpenProgress progress) {
    opening_ = progress == OpenProgress::Pending;
    if (progress == OpenProgress::Pending) return false;
    if (progress == OpenProgress::Done) {
        away_ = false;
        nextTry_.reset();
        say("serial port reopened\n");
        if (view_ != nullptr) view_->portStateChanged(PortState::Back, viewPort_);
        return true;
    }
    // The pause is counted from the end of the try, however long it took.
    nextTry_ = Clock::now() + kRetryInterval;
    if (port_.openFoundNoPort()) {
        lastReported_.clear();
    } else if (port_.openFailure() != lastReported_) {
        lastReported_ = port_.openFailure();
        say(lastReported_);
    }
    return false;
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

#include "app/stop_conditions.h"

#include <algorithm>

namespace serialtap {

StopConditions::StopConditions(const CaptureOptions& options, Clock::time_point start,
                               std::size_t ports)
    : lastHeard_(start) {
    if (options.stopAfterSeconds > 0) {
        timeLimit_ = start + std::chrono::seconds(options.stopAfterSeconds);
    }
    if (options.idleSeconds > 0) silence_ = std::chrono::seconds(options.idleSeconds);
    if (options.endText && !options.endText->empty()) {
        endText_.assign(ports, TextMatcher(*options.endText));
    }
    if (options.failText && !options.failText->empty()) {
        failText_.assign(ports, TextMatcher(*options.failText));
    }
}

bool StopConditions::received(const std::uint8_t* bytes, std::size_t count, std::size_t port) {
    if (reason_ != Reason::None) return true;
    std::optional<std::size_t> end;
    std::optional<std::size_t> fail;
    if (port < endText_.size()) end = endText_[port].feed(bytes, count);
    if (port < failText_.size()) fail = failText_[port].feed(bytes, count);
    // The text completed first wins; on the same byte the failure does,
    // as a script would rather not miss it.
    if (fail && (!end || *fail <= *end)) {
        reason_ = Reason::FailText;
    } else if (end) {
        reason_ = Reason::EndText;
    }
    return reason_ != Reason::None;
}

void StopConditions::bytesLost(std::size_t port) {
    if (port < endText_.size()) endText_[port].restart();
    if (port < failText_.size()) failText_[port].restart();
}

void StopConditions::heardAt(Clock::time_point now) { lastHeard_ = now; }

bool StopConditions::timeIsUp(Clock::time_point now) {
    if (reason_ != Reason::None) return true;
    if (timeLimit_ && now >= *timeLimit_) {
        reason_ = Reason::TimeLimit;
    } else if (silence_ && now - lastHeard_ >= *silence_) {
        reason_ = Reason::Silence;
    }
    return reason_ != Reason::None;
}

std::optional<Clock::time_point> StopConditions::nextDeadline() const {
    std::optional<Clock::time_point> next = timeLimit_;
    if (silence_) {
        Clock::time_point quiet = lastHeard_ + *silence_;
        next = next ? std::min(*next, quiet) : quiet;
    }
    return next;
}

int StopConditions::exitStatus() const {
    switch (reason_) {
        case Reason::FailText:
            return kExitFailText;
        case Reason::TimeLimit:
            return !endText_.empty() ? kExitTimeNoText : 0;
        case Reason::None:
        case Reason::Silence:
        case Reason::EndText:
            break;
    }
    return 0;
}

}  // namespace serialtap

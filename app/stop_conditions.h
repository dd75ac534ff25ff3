#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "app/capture_options.h"
#include "app/text_matcher.h"

namespace serialtap {

using Clock = std::chrono::steady_clock;

// What ends a capture besides q and the stop signals: a time limit, a
// silence, a text awaited and a text that means failure.
class StopConditions {
public:
    enum class Reason { None, TimeLimit, Silence, EndText, FailText };

    // With several ports a text counts only when it arrives whole on one.
    StopConditions(const CaptureOptions& options, Clock::time_point start, std::size_t ports = 1);

    // Whether a timer runs, so that the loop needs the time after a pass.
    bool timed() const { return timeLimit_ || silence_; }
    // Looks for the texts in bytes received; true when one has arrived.
    bool received(const std::uint8_t* bytes, std::size_t count, std::size_t port = 0);
    // Bytes were lost (the port went away): a text begun before the loss
    // is not completed by what comes after it.
    void bytesLost(std::size_t port = 0);
    // A byte arrived now: the silence starts again.
    void heardAt(Clock::time_point now);
    // True when a timer has run out by now.
    bool timeIsUp(Clock::time_point now);
    // When the next timer runs out; none while no timer runs.
    std::optional<Clock::time_point> nextDeadline() const;

    Reason reason() const { return reason_; }
    // 0, or 2 when the failure text arrived, or 3 when the time ran out
    // while the awaited text had not come.
    int exitStatus() const;

private:
    std::optional<Clock::duration> silence_;
    std::optional<Clock::time_point> timeLimit_;
    Clock::time_point lastHeard_;
    // One of each per port.
    std::vector<TextMatcher> endText_;
    std::vector<TextMatcher> failText_;
    Reason reason_ = Reason::None;
};

}  // namespace serialtap

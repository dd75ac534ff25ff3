#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

#include "capture/capture_file.h"

namespace serialtap {

// Bounds how long a received byte waits in the capture file's buffer: the
// buffer is written out once its oldest byte has waited the given time. A
// buffer that fills first is written out whole, as without the timer.
class WriteOutTimer {
public:
    using Clock = std::chrono::steady_clock;

    explicit WriteOutTimer(std::uint32_t milliseconds) : limit_(milliseconds) {}

    bool active() const { return limit_.count() > 0; }
    // Called after bytes were stored. A write-out while they were stored
    // may leave older bytes held (the start of a hex line), so the arrivals
    // are kept until every byte of them has been written out.
    void stored(const CaptureFile& file, Clock::time_point now) {
        if (!file.holdsBytes()) {
            arrivals_.clear();
            return;
        }
        if (!arrivals_.empty() && arrivals_.back().at == now) {
            arrivals_.back().end = file.bytesStored();
        } else {
            arrivals_.push_back({file.bytesStored(), now});
        }
        std::uint64_t writtenOut = file.bytesWrittenOut();
        while (arrivals_.front().end <= writtenOut) arrivals_.pop_front();
    }
    std::optional<Clock::time_point> deadline() const {
        if (arrivals_.empty()) return std::nullopt;
        return arrivals_.front().at + limit_;
    }
    // Writes the buffer out when its oldest byte has waited long enough.
    void writeOutIfDue(CaptureFile& file, Clock::time_point now) {
        if (arrivals_.empty() || now < arrivals_.front().at + limit_) return;
        file.flush();
        arrivals_.clear();
    }

private:
    // The bytes stored up to end arrived at this moment.
    struct Arrival {
        std::uint64_t end;
        Clock::time_point at;
    };

    std::chrono::milliseconds limit_;
    std::deque<Arrival> arrivals_;
};

}  // namespace serialtap

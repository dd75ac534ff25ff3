#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "capture/capture_file.h"

namespace serialtap {

// Bounds how long a received byte waits in the capture file's buffer: the
// buffer is written out once its oldest byte has waited the given time. A
// buffer that fills first is written out whole, as without the timer. For
// a durable capture the time also bounds how long a written byte waits for
// its sync, so a flood is synced once per period, not once per write-out.
class WriteOutTimer {
public:
    using Clock = std::chrono::steady_clock;

    explicit WriteOutTimer(std::uint32_t milliseconds) : limit_(milliseconds) {}

    bool active() const { return limit_.count() > 0; }
    // Called after bytes were stored, with what the file had held and how
    // often it had been written out before them.
    void stored(const CaptureFile& file, bool heldBefore, std::uint64_t writeOutsBefore,
                Clock::time_point now) {
        if (!file.holdsBytes() && !file.unsynced()) {
            holding_ = false;
        } else if (!holding_ ||
                   (!file.unsynced() && (!heldBefore || file.writeOuts() != writeOutsBefore))) {
            // What is held now arrived with these bytes.
            holding_ = true;
            oldest_ = now;
        }
    }
    std::optional<Clock::time_point> deadline() const {
        if (!holding_) return std::nullopt;
        return oldest_ + limit_;
    }
    // Writes the buffer out when its oldest byte has waited long enough.
    void writeOutIfDue(CaptureFile& file, Clock::time_point now) {
        if (!holding_ || now < oldest_ + limit_) return;
        file.flush();
        file.sync();
        holding_ = false;
    }

private:
    std::chrono::milliseconds limit_;
    bool holding_ = false;
    Clock::time_point oldest_{};
};

}  // namespace serialtap

#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

#include "capture/capture_file.h"

namespace serialtap {

// Bounds how long a received byte waits in the capture file's buffer: the
// buffer is written out once its oldest byte has waited the given time. A
// buffer that fills first is written out whole, as without the timer.
// For a durable capture the same time bounds how long a written byte waits
// for its sync: a flood is still written out 4096 bytes at a time and
// synced once per period, not at every write-out. The sync comes early by
// what the recent ones took (at most half the period), so that the bytes
// are on the disk, not only on their way, when the time is up.
class WriteOutTimer {
public:
    using Clock = std::chrono::steady_clock;

    explicit WriteOutTimer(std::uint32_t milliseconds) : limit_(milliseconds) {}

    bool active() const { return limit_.count() > 0; }
    // Called after bytes were stored, with what the file had held and how
    // often it had been written out before them.
    void stored(const CaptureFile& file, bool heldBefore, std::uint64_t writeOutsBefore,
                Clock::time_point now) {
        const bool wroteOut = file.writeOuts() != writeOutsBefore;
        if (file.unsynced() && !unsynced_) {
            // The oldest byte written out is the oldest the buffer held.
            unsynced_ = true;
            unsyncedSince_ = wroteOut && heldBefore && holding_ ? oldest_ : now;
        }
        if (!file.holdsBytes()) {
            holding_ = false;
        } else if (!heldBefore || wroteOut) {
            // What is held now arrived with these bytes.
            holding_ = true;
            oldest_ = now;
        }
    }
    std::optional<Clock::time_point> deadline() const {
        std::optional<Clock::time_point> due;
        if (holding_) due = oldest_ + limit_ - lead_;
        if (unsynced_ && (!due || unsyncedSince_ + limit_ - lead_ < *due)) {
            due = unsyncedSince_ + limit_ - lead_;
        }
        return due;
    }
    // Writes the buffer out when its oldest byte has waited long enough,
    // and syncs what was written when its oldest byte has.
    void writeOutIfDue(CaptureFile& file, Clock::time_point now) {
        const bool writeOutDue = holding_ && now >= oldest_ + limit_ - lead_;
        const bool syncDue = unsynced_ && now >= unsyncedSince_ + limit_ - lead_;
        if (!writeOutDue && !syncDue) return;
        if (writeOutDue) {
            file.flush();
            holding_ = false;
        }
        unsynced_ = false;
        if (!file.unsynced()) return;
        const Clock::time_point before = Clock::now();
        file.sync();
        // A slow sync counts at once; its weight fades over the next ones.
        const Clock::duration took = Clock::now() - before;
        const Clock::duration fading = lead_ - lead_ / 4;
        lead_ = std::min<Clock::duration>(std::max(took, fading), limit_ / 2);
    }

private:
    std::chrono::milliseconds limit_;
    bool holding_ = false;
    Clock::time_point oldest_{};
    bool unsynced_ = false;
    Clock::time_point unsyncedSince_{};
    Clock::duration lead_{};
};

}  // namespace serialtap

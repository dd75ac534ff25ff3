#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
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
    // Called after bytes were stored. A write-out while they were stored
    // may leave older bytes held (the start of a hex line), so the arrivals
    // are kept until every byte of them has been written out.
    void stored(const CaptureFile& file, Clock::time_point now) {
        if (file.unsynced() && !unsynced_) {
            // What was written out arrived no earlier than the oldest
            // arrival not yet wholly written out before these bytes.
            unsynced_ = true;
            unsyncedSince_ = arrivals_.empty() ? now : arrivals_.front().at;
        }
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
        std::optional<Clock::time_point> due;
        if (!arrivals_.empty()) due = arrivals_.front().at + limit_ - lead_;
        if (unsynced_ && (!due || unsyncedSince_ + limit_ - lead_ < *due)) {
            due = unsyncedSince_ + limit_ - lead_;
        }
        return due;
    }
    // Writes the buffer out when its oldest byte has waited long enough,
    // and syncs what was written when its oldest byte has.
    void writeOutIfDue(CaptureFile& file, Clock::time_point now) {
        const bool writeOutDue = !arrivals_.empty() && now >= arrivals_.front().at + limit_ - lead_;
        const bool syncDue = unsynced_ && now >= unsyncedSince_ + limit_ - lead_;
        if (!writeOutDue && !syncDue) return;
        if (writeOutDue) {
            file.flush();
            arrivals_.clear();
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
    // The bytes stored up to end arrived at this moment.
    struct Arrival {
        std::uint64_t end;
        Clock::time_point at;
    };

    std::chrono::milliseconds limit_;
    std::deque<Arrival> arrivals_;
    bool unsynced_ = false;
    Clock::time_point unsyncedSince_{};
    Clock::duration lead_{};
};

}  // namespace serialtap

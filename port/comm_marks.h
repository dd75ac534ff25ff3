#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "port/line_event.h"

namespace serialtap {

// Turns what a Windows serial driver tells of its line (the error word of
// each queue count, the modem status after a modem-line event) into marks
// among the bytes the reads return.
//
// The driver says neither which byte an error came with nor where a break
// fell, and it keeps the 0x00 byte the receiver took in during a break in
// the data. A mark therefore stands where the error was noticed: before
// the bytes of the read that follows the count which reported it. The byte
// it concerns is one of those, or one returned shortly before; a break
// still shows as a 0x00 byte beside its mark.
class CommMarks {
public:
    // A fresh open of the port; marks are made only for a watched line,
    // dropped bytes are counted either way.
    void reset(bool watching);
    bool watching() const { return watching_; }
    // Whether the modem status must be read for an event mask the wait
    // reported: a watched line's modem-line events.
    bool asksModemStatus(std::uint32_t eventMask) const;
    // Bytes a read returned, which later marks stand after.
    void advance(std::size_t bytes) {
        if (watching_) at_ += bytes;
    }
    // An error word from the driver (kError* bits).
    void noteErrors(std::uint32_t errors);
    // The modem status read after a modem-line event: a mark when the lines
    // differ from the last state known.
    void noteModemLines(std::uint32_t status);
    // The state the capture starts from, or none for a port without lines.
    void startLines(std::optional<std::uint32_t> status);
    std::optional<std::uint32_t> lines() const { return lines_; }
    void take(std::vector<LineMark>& marks);
    DropCount dropped() const { return dropped_; }

private:
    void mark(LineEventKind kind);

    bool watching_ = false;
    std::size_t at_ = 0;
    std::vector<LineMark> marks_;
    DropCount dropped_;
    std::optional<std::uint32_t> lines_;
};

}  // namespace serialtap

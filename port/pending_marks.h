#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "port/line_event.h"

namespace serialtap {

// The marks a device has found and not yet handed over, placed among the
// bytes its reads return: `at` counts from the first byte returned since
// the marks were last taken. Marks may stand among bytes the device holds
// and has not returned yet; those wait until the reads get there.
class PendingMarks {
public:
    // The marks, for a decoder to add to in order.
    std::vector<LineMark>& list() { return marks_; }
    // The reads returned this many more bytes.
    void returned(std::size_t count) { returned_ += count; }
    std::size_t returnedSoFar() const { return returned_; }
    // Adds a mark after those already at its place.
    void insert(const LineMark& mark);
    // Hands over every mark up to the bytes returned so far: an error on
    // bytes not yet returned stays until they are (a run is split there),
    // any other mark at the end goes with them.
    void take(std::vector<LineMark>& out);
    void clear() {
        marks_.clear();
        returned_ = 0;
    }

private:
    std::vector<LineMark> marks_;
    std::size_t returned_ = 0;
};

// The event bits (kEventCts, kEventDsr, kEventRlsd, kEventRing) of the
// modem lines that differ between the two states.
std::uint32_t modemLineEvents(std::uint32_t before, std::uint32_t now);

}  // namespace serialtap

#include "port/pending_marks.h"

#include <algorithm>

#include "port/serial_device.h"

namespace serialtap {

namespace {

bool onBytes(LineEventKind kind) {
    return kind == LineEventKind::FramingError || kind == LineEventKind::ParityError;
}

}  // namespace

void PendingMarks::insert(const LineMark& mark) {
    auto place = std::upper_bound(
        marks_.begin(), marks_.end(), mark,
        [](const LineMark& added, const LineMark& held) { return added.at < held.at; });
    marks_.insert(place, mark);
}

void PendingMarks::take(std::vector<LineMark>& out) {
    std::size_t kept = 0;
    for (LineMark mark : marks_) {
        bool due = mark.at < returned_ || (mark.at == returned_ && !onBytes(mark.kind));
        if (due && onBytes(mark.kind) && mark.at + mark.count > returned_) {
            LineMark head = mark;
            head.count = returned_ - mark.at;
            out.push_back(head);
            mark.count -= head.count;
            mark.at = returned_;
            due = false;
        }
        if (due) {
            out.push_back(mark);
        } else {
            mark.at -= returned_;
            marks_[kept++] = mark;
        }
    }
    marks_.resize(kept);
    returned_ = 0;
}

std::uint32_t modemLineEvents(std::uint32_t before, std::uint32_t now) {
    std::uint32_t changed = before ^ now;
    std::uint32_t events = 0;
    if (changed & kLineCts) events |= kEventCts;
    if (changed & kLineDsr) events |= kEventDsr;
    if (changed & kLineDcd) events |= kEventRlsd;
    if (changed & kLineRing) events |= kEventRing;
    return events;
}

}  // namespace serialtap

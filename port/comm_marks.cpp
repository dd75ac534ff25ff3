#include "port/comm_marks.h"

#include "port/serial_device.h"

namespace serialtap {

void CommMarks::reset(bool watching) {
    *this = CommMarks{};
    watching_ = watching;
}

void CommMarks::mark(LineEventKind kind) {
    LineMark made;
    made.kind = kind;
    made.at = at_;
    marks_.push_back(made);
}

void CommMarks::noteErrors(std::uint32_t errors) {
    // The driver gives no count of what it lost.
    bool lost = (errors & (kErrorOverrun | kErrorRxOver)) != 0;
    if (lost) ++dropped_.uncounted;
    if (!watching_) return;
    if (lost) mark(LineEventKind::Dropped);
    if ((errors & kErrorBreak) != 0) mark(LineEventKind::Break);
    if ((errors & kErrorFrame) != 0) mark(LineEventKind::FramingError);
    if ((errors & kErrorParity) != 0) mark(LineEventKind::ParityError);
}

void CommMarks::noteModemLines(std::uint32_t status) {
    status &= kModemLineBits;
    if (!watching_ || lines_ == status) return;
    lines_ = status;
    mark(LineEventKind::ModemLines);
    marks_.back().lines = status;
}

void CommMarks::startLines(std::optional<std::uint32_t> status) {
    lines_ = status ? std::optional<std::uint32_t>(*status & kModemLineBits) : std::nullopt;
}

void CommMarks::take(std::vector<LineMark>& marks) {
    marks.insert(marks.end(), marks_.begin(), marks_.end());
    marks_.clear();
    at_ = 0;
}

bool CommMarks::asksModemStatus(std::uint32_t eventMask) const {
    return watching_ && (eventMask & (kEventCts | kEventDsr | kEventRlsd | kEventRing)) != 0;
}

}  // namespace serialtap

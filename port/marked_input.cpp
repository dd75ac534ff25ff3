#include "port/marked_input.h"

namespace serialtap {

namespace {

constexpr std::uint8_t kEscape = 0xFF;

}  // namespace

void addErrorMark(std::vector<LineMark>& marks, LineEventKind kind, std::size_t at) {
    if (!marks.empty()) {
        LineMark& last = marks.back();
        if (last.kind == kind && last.at + last.count == at) {
            ++last.count;
            return;
        }
    }
    LineMark mark;
    mark.kind = kind;
    mark.at = at;
    mark.count = 1;
    marks.push_back(mark);
}

std::size_t MarkedInput::decode(const std::uint8_t* in, std::size_t size, std::uint8_t* out,
                                std::size_t base, std::vector<LineMark>& marks) {
    std::size_t written = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = in[i];
        switch (state_) {
            case State::Data:
                if (byte == kEscape) {
                    state_ = State::Escape;
                } else {
                    out[written++] = byte;
                }
                break;
            case State::Escape:
                if (byte == 0) {
                    state_ = State::Marked;
                    break;
                }
                // FF FF is one 0xFF; a lone 0xFF is kept as it came.
                out[written++] = kEscape;
                state_ = State::Data;
                if (byte != kEscape) out[written++] = byte;
                break;
            case State::Marked:
                state_ = State::Data;
                // An error on a 0x00 byte, which is how a UART sees a line
                // held low, comes the same way: a break.
                if (byte == 0) {
                    LineMark mark;
                    mark.kind = LineEventKind::Break;
                    mark.at = base + written;
                    marks.push_back(mark);
                } else {
                    addErrorMark(marks, errorKind_, base + written);
                    out[written++] = byte;
                }
                break;
        }
    }
    return written;
}

}  // namespace serialtap

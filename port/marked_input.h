#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "port/line_event.h"

namespace serialtap {

// The bytes a terminal's line discipline hands over when it marks what the
// line did (PARMRK set, ISTRIP clear): FF FF is a data byte 0xFF; FF 00 00 a
// break, which no data byte stands for; FF 00 X an error on the data byte
// X, which is kept. A sequence split between reads decodes as it would
// whole: what a read ends in the middle of waits for the next one.
class MarkedInput {
public:
    // What an error sequence is reported as: the line discipline marks
    // framing and parity errors alike.
    void errorKind(LineEventKind kind) { errorKind_ = kind; }
    void reset() { state_ = State::Data; }

    // Decodes size bytes of in into out, which has room for size + 1: a
    // 0xFF held from the last call comes out with the byte after it when
    // the two make no sequence (never so from the line discipline, but
    // nothing received is dropped). Marks are added to marks, each with at
    // = base + the index in out of the byte it stands before; an error on
    // the byte after a run of the same errors on the bytes before it
    // lengthens that run's mark (count: the bytes in the run). Gives the
    // number of bytes written.
    std::size_t decode(const std::uint8_t* in, std::size_t size, std::uint8_t* out,
                       std::size_t base, std::vector<LineMark>& marks);

private:
    enum class State : std::uint8_t { Data, Escape, Marked };
    State state_ = State::Data;
    LineEventKind errorKind_ = LineEventKind::FramingError;
};

// Adds an error mark on the byte at `at`, or lengthens the run of the same
// errors that ends just before it.
void addErrorMark(std::vector<LineMark>& marks, LineEventKind kind, std::size_t at);

}  // namespace serialtap

#pragma once

#include <cstddef>
#include <cstdint>

namespace serialtap {

// What a line did besides sending bytes, as a port reports it.
enum class LineEventKind : std::uint8_t {
    Break,         // the line was held in break; no data byte stands for it
    FramingError,  // on the byte the mark stands before, which is kept
    ParityError,   // the same, for a parity error
    Dropped,       // bytes the system lost before the program read them
    ModemLines,    // the modem lines changed; lines holds their new state
};

// Modem-line bits, with the values of the Windows modem status word.
constexpr std::uint32_t kLineCts = 0x10;
constexpr std::uint32_t kLineDsr = 0x20;
constexpr std::uint32_t kLineRing = 0x40;
constexpr std::uint32_t kLineDcd = 0x80;
constexpr std::uint32_t kModemLineBits = kLineCts | kLineDsr | kLineRing | kLineDcd;

// One mark a device puts among the bytes its reads return: it stands
// before the byte at `at` of the bytes returned since the marks were last
// taken; `at` equal to their count puts it after them all.
struct LineMark {
    LineEventKind kind = LineEventKind::Break;
    std::size_t at = 0;
    // Dropped: how many bytes, 0 when the system gives no count.
    std::uint64_t count = 0;
    // ModemLines: the new state, in the bits above.
    std::uint32_t lines = 0;
};

// Bytes the system dropped on a port since it was opened: those it
// counted, and the times it said some were lost without a count.
struct DropCount {
    std::uint64_t bytes = 0;
    std::uint64_t uncounted = 0;

    DropCount& operator+=(const DropCount& more) {
        bytes += more.bytes;
        uncounted += more.uncounted;
        return *this;
    }
};

}  // namespace serialtap

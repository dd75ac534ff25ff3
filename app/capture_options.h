#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace serialtap {

enum class CaptureFormat : std::uint8_t {
    Text = 0,  // each 0x0A stored as 0x0D 0x0A
    Raw = 1,   // the bytes exactly as received
    Hex = 2,   // offset, 16 bytes in hex, their printable form
};

enum class TimeStamps : std::uint8_t {
    None = 0,
    LocalTime = 1,     // [2026-12-08 16:42:19.123]
    Utc = 2,           // [2026-12-08T16:42:19.123Z]
    SinceStart = 3,    // [   12.345678]
    SincePrevious = 4  // [+0.012345]
};

enum class View : std::uint8_t {
    Nothing = 0,
    StatusLine = 1,  // a status line on standard error
    Bytes = 2,       // the received bytes on standard output too
};

// Exit statuses beyond 0 (stopped) and 1 (an error).
constexpr int kExitFailText = 2;    // the -x text arrived
constexpr int kExitTimeNoText = 3;  // -t ran out while the -e text was awaited

// What the extension options choose; the defaults keep the program's
// original behaviour byte for byte.
struct CaptureOptions {
    CaptureFormat format = CaptureFormat::Text;
    TimeStamps timeStamps = TimeStamps::None;
    bool append = false;
    std::uint32_t flushMs = 0;            // 0: only when the buffer is full and at the end
    std::uint32_t stopAfterSeconds = 0;   // 0: no limit
    std::uint32_t idleSeconds = 0;        // 0: never
    std::optional<std::string> endText;   // -e, escapes already decoded
    std::optional<std::string> failText;  // -x, escapes already decoded
    bool reconnect = true;
    View view = View::Nothing;
};

}  // namespace serialtap

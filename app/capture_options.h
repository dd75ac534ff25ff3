#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_format.h"

namespace serialtap {

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
    // -l, the ports captured besides the one of -c, in the order given.
    std::vector<std::string> morePorts;
    std::uint32_t gapMs = 0;          // -g; 0: a hex line is never ended by a pause
    std::uint32_t rotateKiB = 0;      // 0: never by size
    std::uint32_t rotateSeconds = 0;  // 0: never by the clock
    std::uint32_t keepParts = 0;      // 0: keep every rotated part
    bool durable = false;             // each write-out synced to the disk
    bool lineEvents = false;          // -u: what the line did besides sending bytes
};

// The most ports one capture takes, the one of -c included.
constexpr std::size_t kMaxPorts = 8;

}  // namespace serialtap

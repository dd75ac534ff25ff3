#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace serialtap::device {

enum class Content { Line, File, Random };

// How the virtual device behaves, as chosen on its command line.
struct DeviceOptions {
    Content content = Content::Line;
    // Sent with CR LF appended; empty means the numbered default line.
    std::string line;
    std::string filePath;
    // Time from the start of one line (or file replay) to the start of the next.
    std::chrono::milliseconds interval{1000};
    // Bytes per second; 0 sends as fast as the reader takes them.
    std::uint64_t rate = 0;
    // Lines, replays or random bytes to send; 0 runs until interrupted.
    std::uint64_t count = 0;
    bool waitOpen = false;
};

struct ParseResult {
    enum class Outcome { Run, Help, Error } outcome = Outcome::Run;
    DeviceOptions options;
    std::string error;
};

ParseResult parseDeviceOptions(int argc, char** argv);
const char* deviceUsage();

}  // namespace serialtap::device

#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "tools/device_options.h"

namespace serialtap::device {

// What the device sends, unit by unit: a line with its CR LF, one replay of
// a file, or a block of random bytes.
class ContentSource {
public:
    static constexpr std::size_t kRandomBlockBytes = 4096;

    // Reads the file to replay, if any; false with a message when it cannot.
    bool load(const DeviceOptions& options, std::string& error);

    // The bytes of unit number `index`; a random block holds at most
    // `limit` bytes.
    const std::string& unit(std::uint64_t index, std::uint64_t limit);

    // A count of random bytes counts bytes; every other count counts units.
    bool countsBytes() const { return content_ == Content::Random; }

private:
    Content content_ = Content::Line;
    std::string fixed_;
    std::string current_;
    std::mt19937_64 generator_;
};

// The numbered line sent when no other is chosen: six digits of the line
// number, a space and 73 printable characters that shift by one each line,
// so a lost or damaged line stands out in a capture. CR LF not included.
std::string defaultLine(std::uint64_t index);

}  // namespace serialtap::device

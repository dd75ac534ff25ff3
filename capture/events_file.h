#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "capture/time_stamp.h"

namespace serialtap {

// The events of a raw capture, whose own bytes stay exactly as received:
// a file beside it, "<file>.events", one line per event: the offset in the
// capture where it happened, the UTC time to the millisecond, the port and
// what happened. The offsets count the whole capture, across its rotated
// parts, and with an appended capture from the start of what it held.
class EventsFile {
public:
    EventsFile() = default;
    ~EventsFile();
    EventsFile(const EventsFile&) = delete;
    EventsFile& operator=(const EventsFile&) = delete;

    // Opens the file beside the capture's, which must be a regular file
    // (false with errorCode() 0 when it is not); false with errorCode()
    // when it cannot. The capture's present size, after the bytes before
    // it (its rotated parts), is the first offset of an append.
    bool open(const std::string& captureName, bool append, std::uint64_t before = 0);
    bool isOpen() const { return file_ != nullptr; }
    // The bytes of the line, 0 when it could not be written.
    std::size_t write(std::uint64_t offset, const ClockReading& at, const std::string& port,
                      const std::string& what);
    bool flush();
    bool close();
    int errorCode() const { return error_; }

private:
    std::FILE* file_ = nullptr;
    std::uint64_t base_ = 0;
    int error_ = 0;
};

// "2026-12-09T16:42:19Z", or with milliseconds "2026-12-09T16:42:19.123Z".
std::string utcTimeText(std::int64_t wallNs, bool milliseconds);

}  // namespace serialtap

#pragma once

#include <cstddef>
#include <cstdint>

namespace serialtap {

enum class TimeStamps : std::uint8_t {
    None = 0,
    LocalTime = 1,     // [2026-12-08 16:42:19.123]
    Utc = 2,           // [2026-12-08T16:42:19.123Z]
    SinceStart = 3,    // [   12.345678]
    SincePrevious = 4  // [+0.012345]
};

// The two clocks read when a reception returns bytes.
struct ClockReading {
    std::int64_t monotonicNs = 0;  // a clock that never jumps; its zero means nothing
    std::int64_t wallNs = 0;       // nanoseconds since 1970-01-01 00:00:00 UTC
};

ClockReading readClock();

struct CalendarTime {
    int year = 1970;
    int month = 1;  // 1 to 12
    int day = 1;    // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The local time of a moment given in whole seconds since 1970 (UTC); false
// when the system cannot tell it.
using LocalTimeFunction = bool (*)(std::int64_t unixSeconds, CalendarTime& local);
// The system's own conversion, with its time zone rules (a platform file).
bool localCalendarTime(std::int64_t unixSeconds, CalendarTime& local);
// Worked out here rather than by the system, so UTC stamps are the same
// bytes on every platform.
CalendarTime utcCalendarTime(std::int64_t unixSeconds);

// Writes the stamp put before each line of a capture.
class StampWriter {
public:
    // Enough for any stamp, the widest year and second counts included.
    static constexpr std::size_t kMaxBytes = 48;

    StampWriter(TimeStamps kind, LocalTimeFunction localTime);

    bool enabled() const { return kind_ != TimeStamps::None; }
    // Relative stamps count from here; without it, from the first stamp.
    void begin(const ClockReading& now);
    // The stamp of a line whose first byte arrived at `at`; gives its length.
    std::size_t write(const ClockReading& at, std::uint8_t* out);

private:
    std::size_t writeCalendar(const ClockReading& at, std::uint8_t* out);

    TimeStamps kind_;
    LocalTimeFunction localTime_;
    bool started_ = false;
    std::int64_t startNs_ = 0;
    std::int64_t previousNs_ = 0;
    // Lines come many to a second: the date and time of the last second
    // seen are kept, so the calendar is worked out once a second.
    bool haveSecond_ = false;
    std::int64_t second_ = 0;
    std::uint8_t secondText_[32] = {};
    std::size_t secondLength_ = 0;
};

}  // namespace serialtap

#include "capture/time_stamp.h"

#include <chrono>
#include <cstring>

namespace serialtap {

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;

std::int64_t floorDiv(std::int64_t value, std::int64_t by) {
    std::int64_t quotient = value / by;
    return (value % by != 0 && (value < 0) != (by < 0)) ? quotient - 1 : quotient;
}

// Decimal digits of value, at least `width` of them, padded with `pad`.
std::size_t writeNumber(std::uint64_t value, std::size_t width, char pad, std::uint8_t* out) {
    std::uint8_t digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<std::uint8_t>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::size_t length = 0;
    for (; count + length < width; ++length) out[length] = static_cast<std::uint8_t>(pad);
    while (count > 0) out[length++] = digits[--count];
    return length;
}

// A calendar field the system gave; a year before 1 is shown with its sign.
std::size_t writeField(int value, std::size_t width, std::uint8_t* out) {
    if (value >= 0) return writeNumber(static_cast<std::uint64_t>(value), width, '0', out);
    out[0] = '-';
    return 1 + writeNumber(static_cast<std::uint64_t>(-static_cast<std::int64_t>(value)), width,
                           '0', out + 1);
}

std::size_t writeElapsed(std::int64_t ns, bool sign, std::uint8_t* out) {
    // A monotonic clock never goes back; a reading that did counts as no time.
    const auto elapsed = static_cast<std::uint64_t>(ns > 0 ? ns : 0);
    std::size_t length = 0;
    out[length++] = '[';
    if (sign) out[length++] = '+';
    length += writeNumber(elapsed / kNsPerSecond, sign ? 1 : 4, ' ', out + length);
    out[length++] = '.';
    length += writeNumber(elapsed % kNsPerSecond / 1000, 6, '0', out + length);
    out[length++] = ']';
    out[length++] = ' ';
    return length;
}

}  // namespace

ClockReading readClock() {
    using std::chrono::duration_cast;
    using std::chrono::nanoseconds;
    return {
        duration_cast<nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count(),
        duration_cast<nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count()};
}

CalendarTime utcCalendarTime(std::int64_t unixSeconds) {
    const std::int64_t days = floorDiv(unixSeconds, 86400);
    const std::int64_t secondOfDay = unixSeconds - days * 86400;
    // Days to a civil date in the proleptic Gregorian calendar, counting in
    // 400-year eras that begin on 1 March.
    const std::int64_t z = days + 719468;
    const std::int64_t era = floorDiv(z, 146097);
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const std::int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    CalendarTime utc;
    utc.year = static_cast<int>(year);
    utc.month = static_cast<int>(month);
    utc.day = static_cast<int>(day);
    utc.hour = static_cast<int>(secondOfDay / 3600);
    utc.minute = static_cast<int>(secondOfDay / 60 % 60);
    utc.second = static_cast<int>(secondOfDay % 60);
    return utc;
}

StampWriter::StampWriter(TimeStamps kind, LocalTimeFunction localTime)
    : kind_(kind), localTime_(localTime) {}

void StampWriter::begin(const ClockReading& now) {
    started_ = true;
    startNs_ = now.monotonicNs;
    previousNs_ = now.monotonicNs;
}

std::size_t StampWriter::write(const ClockReading& at, std::uint8_t* out) {
    if (!started_) begin(at);
    switch (kind_) {
        case TimeStamps::None:
            return 0;
        case TimeStamps::LocalTime:
        case TimeStamps::Utc:
            return writeCalendar(at, out);
        case TimeStamps::SinceStart:
            return writeElapsed(at.monotonicNs - startNs_, false, out);
        case TimeStamps::SincePrevious: {
            std::size_t length = writeElapsed(at.monotonicNs - previousNs_, true, out);
            previousNs_ = at.monotonicNs;
            return length;
        }
    }
    return 0;
}

std::size_t StampWriter::writeCalendar(const ClockReading& at, std::uint8_t* out) {
    const std::int64_t second = floorDiv(at.wallNs, kNsPerSecond);
    const bool utc = kind_ == TimeStamps::Utc;
    if (!haveSecond_ || second != second_) {
        CalendarTime time;
        if (utc || !localTime_(second, time)) time = utcCalendarTime(second);
        std::uint8_t* text = secondText_;
        std::size_t length = 0;
        text[length++] = '[';
        length += writeField(time.year, 4, text + length);
        text[length++] = '-';
        length += writeField(time.month, 2, text + length);
        text[length++] = '-';
        length += writeField(time.day, 2, text + length);
        text[length++] = utc ? 'T' : ' ';
        length += writeField(time.hour, 2, text + length);
        text[length++] = ':';
        length += writeField(time.minute, 2, text + length);
        text[length++] = ':';
        length += writeField(time.second, 2, text + length);
        text[length++] = '.';
        secondLength_ = length;
        second_ = second;
        haveSecond_ = true;
    }
    std::memcpy(out, secondText_, secondLength_);
    std::size_t length = secondLength_;
    const auto milliseconds =
        static_cast<std::uint64_t>((at.wallNs - second * kNsPerSecond) / 1000000);
    length += writeNumber(milliseconds, 3, '0', out + length);
    if (utc) out[length++] = 'Z';
    out[length++] = ']';
    out[length++] = ' ';
    return length;
}

}  // namespace serialtap

// Every capture format and time stamp style, any byte stream in any split
// into receptions, flushes anywhere, a fake clock that moves (the wall clock
// back too): the formatter's output equals a plain byte-at-a-time reference
// written here, and the buffer goes out exactly when the buffer rule says.

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "capture/capture_format.h"

namespace {

using serialtap::CalendarTime;
using serialtap::CaptureFormat;
using serialtap::ClockReading;
using serialtap::TimeStamps;

constexpr std::size_t kMaxStreamBytes = std::size_t{16} * 1024;
constexpr std::size_t kBuffer = serialtap::CaptureFormatter::kBufferBytes;
constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kZoneSeconds = 19800;  // the fake local zone, UTC+5:30

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

std::int64_t floorDiv(std::int64_t value, std::int64_t by) {
    return value / by - ((value % by != 0 && value < 0) ? 1 : 0);
}

std::tm brokenDown(std::int64_t unixSeconds) {
    const auto seconds = static_cast<std::time_t>(unixSeconds);
    std::tm parts{};
    check(gmtime_r(&seconds, &parts) != nullptr, "gmtime_r");
    return parts;
}

bool fakeLocalTime(std::int64_t unixSeconds, CalendarTime& local) {
    const std::tm parts = brokenDown(unixSeconds + kZoneSeconds);
    local = {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
             parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    return true;
}

class MemorySink : public serialtap::FormattedOutput {
public:
    void writeOut(const std::uint8_t* bytes, std::size_t count) override {
        check(count > 0, "no empty write-outs");
        text.append(bytes, bytes + count);
    }
    std::string text;
};

// The capture as the format describes it, a received byte at a time. A
// unit is what one stored byte becomes: a received byte (with its line end
// expanded) where the buffer holds received bytes, a formatted byte
// elsewhere.
class Reference {
public:
    Reference(CaptureFormat format, TimeStamps stamps, const ClockReading& start)
        : format_(format),
          stamps_(format == CaptureFormat::Raw ? TimeStamps::None : stamps),
          startNs_(start.monotonicNs),
          previousNs_(start.monotonicNs) {}

    void add(std::uint8_t byte, const ClockReading& at) {
        const char received = static_cast<char>(byte);
        const bool lineFeed = byte == 0x0A;
        if (format_ == CaptureFormat::Raw) {
            store(&received, 1);
        } else if (format_ == CaptureFormat::Text && stamps_ == TimeStamps::None) {
            store(lineFeed ? "\r\n" : &received, lineFeed ? 2 : 1);
        } else if (format_ == CaptureFormat::Text) {
            if (atLineStart_) storeEach(stamp(at));
            atLineStart_ = lineFeed;
            storeEach(lineFeed ? "\r\n" : std::string(1, received));
        } else {
            if (pending_.empty()) pendingAt_ = at;
            pending_ += received;
            if (pending_.size() == 16) hexLine();
        }
    }

    void flush() {
        if (!pending_.empty()) hexLine();
        writtenOut = out.size();
        held_ = 0;
    }

    std::string out;             // everything formatted, in order
    std::size_t writtenOut = 0;  // how much of it the sink must have had

private:
    void store(const char* unit, std::size_t length) {
        if (held_ == kBuffer) {
            writtenOut = out.size();
            held_ = 0;
        }
        out.append(unit, length);
        ++held_;
    }
    void storeEach(const std::string& bytes) {
        for (const char& byte : bytes) store(&byte, 1);
    }

    std::string stamp(const ClockReading& at) {
        char text[96];
        const std::int64_t second = floorDiv(at.wallNs, kSecond);
        const auto millis = static_cast<int>((at.wallNs - second * kSecond) / 1000000);
        switch (stamps_) {
            case TimeStamps::None:
                return "";
            case TimeStamps::LocalTime:
            case TimeStamps::Utc: {
                const bool utc = stamps_ == TimeStamps::Utc;
                const std::tm t = brokenDown(second + (utc ? 0 : kZoneSeconds));
                std::snprintf(text, sizeof text, "[%04d-%02d-%02d%c%02d:%02d:%02d.%03d%s] ",
                              t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, utc ? 'T' : ' ', t.tm_hour,
                              t.tm_min, t.tm_sec, millis, utc ? "Z" : "");
                return text;
            }
            case TimeStamps::SinceStart:
            case TimeStamps::SincePrevious: {
                const bool sincePrevious = stamps_ == TimeStamps::SincePrevious;
                std::int64_t elapsed = at.monotonicNs - (sincePrevious ? previousNs_ : startNs_);
                if (elapsed < 0) elapsed = 0;
                previousNs_ = at.monotonicNs;
                std::snprintf(text, sizeof text,
                              sincePrevious ? "[+%" PRId64 ".%06" PRId64 "] "
                                            : "[%4" PRId64 ".%06" PRId64 "] ",
                              elapsed / kSecond, elapsed % kSecond / 1000);
                return text;
            }
        }
        return "";
    }

    void hexLine() {
        std::string line = stamp(pendingAt_);
        char field[32];
        std::snprintf(field, sizeof field, "%08" PRIX64 "  ", offset_);
        line += field;
        for (std::size_t i = 0; i < 16; ++i) {
            if (i < pending_.size()) {
                std::snprintf(field, sizeof field, "%02X ",
                              static_cast<unsigned>(static_cast<std::uint8_t>(pending_[i])));
                line += field;
            } else {
                line += "   ";
            }
        }
        line += " |";
        for (char byte : pending_) line += (byte >= 0x20 && byte < 0x7F) ? byte : '.';
        line += "|\r\n";
        storeEach(line);
        offset_ += pending_.size();
        pending_.clear();
    }

    CaptureFormat format_;
    TimeStamps stamps_;
    std::size_t held_ = 0;
    bool atLineStart_ = true;
    std::int64_t startNs_;
    std::int64_t previousNs_;
    std::string pending_;
    ClockReading pendingAt_;
    std::uint64_t offset_ = 0;
};

}  // namespace

// The first byte chooses the format and the stamps. Then control bytes:
// below 0x80 a reception of that many bytes from the input; 0x80 to 0xDF a
// reception of one byte value repeated (the low bits and the next byte give
// the length, the byte after that the value), which reaches the buffer
// edges from short inputs; 0xE0 to 0xEF a flush; 0xF0 up moves the clock
// (the next byte scaled by a power of ten; odd ones set the wall clock back).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto format = static_cast<CaptureFormat>(data[0] % 3);
    const auto stamps = static_cast<TimeStamps>(data[0] / 3 % 5);
    // 2026-12-08 16:42:19.123456789 UTC.
    ClockReading clock{5 * kSecond, 1796748139 * kSecond + 123456789};

    MemorySink sink;
    serialtap::CaptureFormatter formatter(format, stamps, sink, fakeLocalTime);
    formatter.begin(clock);
    Reference reference(format, stamps, clock);

    std::size_t at = 1;
    std::size_t total = 0;
    std::size_t checked = 0;
    while (at < size) {
        const std::uint8_t control = data[at++];
        std::string pass;
        if (control < 0x80) {
            const std::size_t length = control < size - at ? control : size - at;
            pass.assign(data + at, data + at + length);
            at += length;
        } else if (control < 0xE0) {
            if (size - at < 2) break;
            const std::size_t length = (static_cast<std::size_t>(control - 0x80) << 8) | data[at];
            pass.assign(length, static_cast<char>(data[at + 1]));
            at += 2;
        } else if (control < 0xF0) {
            formatter.flush();
            reference.flush();
        } else {
            if (at == size) break;
            std::int64_t step = data[at++] + 1;
            for (int i = 0; i < (control & 0xF) % 10; ++i) step *= 10;
            clock.monotonicNs += step;
            clock.wallNs += (control & 1) != 0 ? -step : step;
        }
        if (total + pass.size() > kMaxStreamBytes) break;
        total += pass.size();
        formatter.add(reinterpret_cast<const std::uint8_t*>(pass.data()), pass.size(), clock);
        for (char byte : pass) reference.add(static_cast<std::uint8_t>(byte), clock);

        check(sink.text.size() == reference.writtenOut, "written out when the buffer rule says");
        check(sink.text.compare(checked, std::string::npos, reference.out, checked,
                                reference.writtenOut - checked) == 0,
              "written-out bytes as the reference formats them");
        checked = reference.writtenOut;
    }
    formatter.flush();
    reference.flush();
    check(sink.text == reference.out, "everything after the last flush");
    return 0;
}

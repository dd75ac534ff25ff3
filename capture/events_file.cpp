#include "capture/events_file.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace serialtap {

std::string utcTimeText(std::int64_t wallNs, bool milliseconds) {
    std::int64_t seconds = wallNs / 1000000000;
    std::int64_t rest = wallNs % 1000000000;
    if (rest < 0) {
        rest += 1000000000;
        --seconds;
    }
    CalendarTime t = utcCalendarTime(seconds);
    char text[48];
    int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month,
                               t.day, t.hour, t.minute, t.second);
    if (milliseconds && length > 0) {
        std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), ".%03dZ",
                      static_cast<int>(rest / 1000000));
    } else if (length > 0) {
        std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "Z");
    }
    return text;
}

namespace {

// The port's field is one word of visible characters, whatever the port's
// name holds: a reader splits the line at its spaces, and a terminal shows
// it without obeying it. The capture's first line gives the name in full.
std::string portField(std::string port) {
    for (char& c : port) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) c = '?';
    }
    return port.empty() ? "-" : port;
}

}  // namespace

EventsFile::~EventsFile() { close(); }

bool EventsFile::open(const std::string& captureName, bool append, std::uint64_t before) {
    // Beside a pipe, a terminal or a device there is no place for them.
    std::error_code error;
    if (!std::filesystem::is_regular_file(captureName, error)) {
        error_ = 0;
        return false;
    }
    if (append) {
        std::error_code error;
        auto size = std::filesystem::file_size(captureName, error);
        base_ = before + (error ? 0 : static_cast<std::uint64_t>(size));
    }
    file_ = std::fopen((captureName + ".events").c_str(), append ? "ab" : "wb");
    if (file_ == nullptr) error_ = errno;
    return file_ != nullptr;
}

std::size_t EventsFile::write(std::uint64_t offset, const ClockReading& at, const std::string& port,
                              const std::string& what) {
    if (file_ == nullptr) return 0;
    std::string line = std::to_string(base_ + offset) + ' ' + utcTimeText(at.wallNs, true) + ' ' +
                       portField(port) + ' ' + what + '\n';
    if (std::fwrite(line.data(), 1, line.size(), file_) == line.size()) return line.size();
    error_ = errno;
    return 0;
}

// Lines are held by the stream: a full disk is usually found here.
bool EventsFile::flush() {
    if (file_ == nullptr || std::fflush(file_) == 0) return true;
    error_ = errno;
    return false;
}

bool EventsFile::close() {
    if (file_ == nullptr) return true;
    bool closed = std::fclose(file_) == 0;
    if (!closed) error_ = errno;
    file_ = nullptr;
    return closed;
}

}  // namespace serialtap

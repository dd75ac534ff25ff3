#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "capture/capture_format.h"

namespace serialtap {

// The capture file: received bytes in order, in the chosen format (by
// default each 0x0A stored as 0x0D 0x0A), held in a 4096-byte buffer that is
// written out when a byte is to be stored while it is full, and at the close.
class CaptureFile : private CaptureSink {
public:
    static constexpr std::size_t kBufferBytes = CaptureFormatter::kBufferBytes;

    explicit CaptureFile(CaptureFormat format = CaptureFormat::Text,
                         TimeStamps stamps = TimeStamps::None);
    ~CaptureFile() override;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Creates or empties the file; false with errorCode() when it cannot.
    bool open(const std::string& fileName);
    // Relative time stamps count from here.
    void begin(const ClockReading& now) { formatter_.begin(now); }
    void writeBytes(const std::uint8_t* bytes, std::size_t count,
                    const ClockReading& receivedAt = {}) {
        formatter_.add(bytes, count, receivedAt);
    }
    // Writes out everything held now.
    void flush() { formatter_.flush(); }
    // Writes out what is buffered and closes the file. Reports on standard
    // error and gives false when that or any earlier write failed.
    bool close();

    int errorCode() const { return errorCode_; }

private:
    void writeOut(const std::uint8_t* bytes, std::size_t count) override;

    std::FILE* stream_ = nullptr;
    CaptureFormatter formatter_;
    bool writeFailed_ = false;
    int errorCode_ = 0;
};

}  // namespace serialtap

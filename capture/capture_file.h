#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace serialtap {

// The capture: received bytes in order, each 0x0A stored as 0x0D 0x0A. The
// received bytes are held in a 4096-byte buffer that is written out, expanded,
// when a byte is to be stored while it is full, and at the close.
class CaptureFile {
public:
    static constexpr std::size_t kBufferBytes = 4096;

    CaptureFile() = default;
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Creates or empties the file, or with append keeps what it holds and
    // adds to its end; false with errorCode() when it cannot.
    bool open(const std::string& fileName, bool append = false);
    void writeBytes(const std::uint8_t* bytes, std::size_t count);
    // Writes out what is held now, however little.
    void flush();
    bool holdsBytes() const { return used_ > 0; }
    // How many times the buffer has been written out so far.
    std::uint64_t writeOuts() const { return writeOuts_; }
    // Writes out what is buffered and closes the file. Reports on standard
    // error and gives false when that or any earlier write failed.
    bool close();

    int errorCode() const { return errorCode_; }

private:
    void writeOut();

    std::FILE* stream_ = nullptr;
    std::uint8_t buffer_[kBufferBytes] = {};
    std::size_t used_ = 0;
    std::uint64_t writeOuts_ = 0;
    bool writeFailed_ = false;
    int errorCode_ = 0;
};

}  // namespace serialtap

#include "capture/capture_file.h"

#include <cerrno>
#include <cstring>

namespace serialtap {

CaptureFile::~CaptureFile() {
    if (stream_ != nullptr) std::fclose(stream_);
}

bool CaptureFile::open(const std::string& fileName, bool append) {
    // Binary mode: the line-end expansion is done here, the same on every
    // platform, so a capture is byte-identical wherever it was made.
    stream_ = std::fopen(fileName.c_str(), append ? "ab" : "wb");
    if (stream_ == nullptr) {
        errorCode_ = errno;
        return false;
    }
    // The buffer below is the only one: each write-out goes straight to the file.
    std::setvbuf(stream_, nullptr, _IONBF, 0);
    return true;
}

void CaptureFile::writeBytes(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        if (used_ == kBufferBytes) writeOut();
        std::size_t room = kBufferBytes - used_;
        std::size_t take = count < room ? count : room;
        std::memcpy(buffer_ + used_, bytes, take);
        used_ += take;
        bytes += take;
        count -= take;
    }
}

void CaptureFile::flush() {
    if (used_ > 0) writeOut();
}

void CaptureFile::writeOut() {
    ++writeOuts_;
    std::uint8_t expanded[2 * kBufferBytes];
    std::size_t size = 0;
    // Whole runs between line feeds are copied at once.
    const std::uint8_t* next = buffer_;
    const std::uint8_t* end = buffer_ + used_;
    while (next < end) {
        const void* lineFeed = std::memchr(next, 0x0A, static_cast<std::size_t>(end - next));
        const std::uint8_t* runEnd =
            lineFeed != nullptr ? static_cast<const std::uint8_t*>(lineFeed) : end;
        auto run = static_cast<std::size_t>(runEnd - next);
        std::memcpy(expanded + size, next, run);
        size += run;
        if (runEnd == end) break;
        expanded[size++] = 0x0D;
        expanded[size++] = 0x0A;
        next = runEnd + 1;
    }
    used_ = 0;
    // Only the size bytes set above are written; filling the rest first
    // would cost a pass over 8 KiB on every write-out.
    // cppcheck-suppress uninitvar
    if (stream_ == nullptr || std::fwrite(expanded, 1, size, stream_) != size) writeFailed_ = true;
}

bool CaptureFile::close() {
    if (stream_ == nullptr) return true;
    if (used_ > 0) writeOut();
    bool failed = writeFailed_;
    if (std::fclose(stream_) != 0) failed = true;
    stream_ = nullptr;
    if (failed) std::fputs("Error: Can't close the file\n", stderr);
    return !failed;
}

}  // namespace serialtap

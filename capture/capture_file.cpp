#include "capture/capture_file.h"

#include <cerrno>

namespace serialtap {

CaptureFile::CaptureFile(CaptureFormat format, TimeStamps stamps)
    : formatter_(format, stamps, *this) {}

CaptureFile::~CaptureFile() {
    if (stream_ != nullptr) std::fclose(stream_);
}

bool CaptureFile::open(const std::string& fileName) {
    // Binary mode: the formatting is done here, the same on every
    // platform, so a capture is byte-identical wherever it was made.
    stream_ = std::fopen(fileName.c_str(), "wb");
    if (stream_ == nullptr) {
        errorCode_ = errno;
        return false;
    }
    // The buffer below is the only one: each write-out goes straight to the file.
    std::setvbuf(stream_, nullptr, _IONBF, 0);
    return true;
}

void CaptureFile::writeOut(const std::uint8_t* bytes, std::size_t count) {
    if (stream_ == nullptr || std::fwrite(bytes, 1, count, stream_) != count) writeFailed_ = true;
}

bool CaptureFile::close() {
    if (stream_ == nullptr) return true;
    formatter_.flush();
    bool failed = writeFailed_;
    if (std::fclose(stream_) != 0) failed = true;
    stream_ = nullptr;
    if (failed) std::fputs("Error: Can't close the file\n", stderr);
    return !failed;
}

}  // namespace serialtap

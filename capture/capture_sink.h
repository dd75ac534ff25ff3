#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace serialtap {

// The code a capture file already held by another capture is refused with:
// EBUSY on POSIX, ERROR_SHARING_VIOLATION on Windows.
extern const int kCaptureFileBusy;

// What one write into the capture file did.
struct SinkWrite {
    std::size_t written = 0;
    // The file takes no more for now (a pipe whose reader is behind); not a
    // failure.
    bool wouldBlock = false;
    int error = 0;  // the system's code when the write failed
};

// Where the capture's bytes go: the platform's calls for the capture file,
// kept apart from the buffering and formatting, which are the same everywhere.
class CaptureSink {
public:
    virtual ~CaptureSink() = default;

    // Opens the file for this capture alone, creating it or, once no other
    // capture holds it, emptying it (with append, keeping what it holds and
    // writing at its end). False with errorCode() when it cannot; a file
    // another capture holds is then left untouched.
    virtual bool open(const std::string& fileName, bool append) = 0;
    virtual bool isOpen() const = 0;
    // Writes what the file takes without waiting for a slow reader.
    virtual SinkWrite write(const std::uint8_t* bytes, std::size_t size) = 0;
    // Waits until the file may take more, at most the given time.
    virtual void waitWritable(int milliseconds) = 0;
    // The file lost its last name while open: what is written to it is gone.
    virtual bool removed() = 0;
    virtual bool close() = 0;
    // Makes what was written durable (on the disk, not only in the system's
    // cache); false with errorCode() when it cannot.
    virtual bool sync() { return true; }
    // Makes the open file's name durable in its folder, so that a power cut
    // right after the file was created keeps it.
    virtual bool syncName() { return true; }
    // The file's name still leads to the open file: it was neither removed
    // nor replaced nor moved away.
    virtual bool holdsName() { return !removed(); }
    // The open file was given this name by the capture.
    virtual void renamed(const std::string& fileName) { (void)fileName; }
    virtual int errorCode() const = 0;
    // The failed open found a FIFO that no process reads.
    virtual bool foundNoReader() const { return false; }
    // A pipe, FIFO, socket or terminal: a file that takes bytes as its
    // reader takes them, and says when it can take more.
    virtual bool readerPaced() const { return false; }
    // The open file, as a descriptor or a HANDLE.
    virtual std::intptr_t handle() const = 0;
    // The code given for bytes a slow reader did not take in time.
    virtual int wouldBlockCode() const = 0;
    // Whether a write that failed with this code found no reader left (a
    // pipe whose reading end was closed).
    virtual bool readerGone(int code) const = 0;
};

std::unique_ptr<CaptureSink> makePlatformCaptureSink();

}  // namespace serialtap

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_format.h"
#include "capture/capture_sink.h"
#include "capture/events_file.h"
#include "capture/rotating_sink.h"

namespace serialtap {

// The capture file: received bytes in order, in the chosen format (by
// default each 0x0A stored as 0x0D 0x0A), held in a 4096-byte buffer that is
// written out when a byte is to be stored while it is full, and at the close.
// What the file does not take at a write-out (a full disk, a pipe whose
// reader is behind) is kept, up to a limit, and tried again at the next one.
class CaptureFile : private FormattedOutput {
public:
    static constexpr std::size_t kBufferBytes = CaptureFormatter::kBufferBytes;
    // Bytes kept for a file that does not take them; beyond this they are lost.
    static constexpr std::size_t kKeptLimit = std::size_t{1} << 20;
    // At the close, how long a slow reader may take nothing before what it
    // has not taken is given up.
    static constexpr int kCloseStallMs = 2000;

    explicit CaptureFile(CaptureFormat format = CaptureFormat::Text,
                         TimeStamps stamps = TimeStamps::None,
                         std::unique_ptr<CaptureSink> sink = makePlatformCaptureSink());
    explicit CaptureFile(std::unique_ptr<CaptureSink> sink)
        : CaptureFile(CaptureFormat::Text, TimeStamps::None, std::move(sink)) {}
    ~CaptureFile() override;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Creates or empties the file, or with append keeps what it holds and
    // adds to its end; false with errorCode() when it cannot.
    bool open(const std::string& fileName, bool append = false);
    // Relative time stamps count from here.
    void begin(const ClockReading& now) { formatter_.begin(now); }
    void writeBytes(const std::uint8_t* bytes, std::size_t count,
                    const ClockReading& receivedAt = {}) {
        formatter_.add(bytes, count, receivedAt);
    }
    // The labels of the ports of a capture of several, and the pause that
    // ends a hex line (see CaptureFormatter).
    void setSources(const std::vector<std::string>& labels) {
        labels_ = labels;
        formatter_.setSources(labels);
    }
    void setGap(std::uint32_t milliseconds) { formatter_.setGap(milliseconds); }
    void writeBytesFrom(std::size_t source, const std::uint8_t* bytes, std::size_t count,
                        const ClockReading& receivedAt = {}) {
        formatter_.addFrom(source, bytes, count, receivedAt);
    }
    // Event lines will come (see CaptureFormatter::addEvent): a raw
    // capture keeps them in a file beside it, opened here; false when it
    // cannot be, with errorCode() of that file.
    // An appended capture's offsets go on from the bytes before the file.
    bool expectEvents(const std::string& fileName, bool append, std::uint64_t before = 0);
    // An event of the source's line at this place of the capture; the
    // bytes its line takes, in the capture or beside it.
    std::size_t writeEvent(std::size_t source, const std::string& what, const ClockReading& at);
    std::string eventLine(std::size_t source, const std::string& what,
                          const ClockReading& at) const {
        return formatter_.eventLine(source, what, at);
    }
    // Writes out everything held now.
    void flush() {
        formatter_.flush();
        if (events_.isOpen() && !events_.flush()) reportEventsFailure();
    }
    // Ends the rotation's part when it is due; what is held when its
    // period ends goes into it first.
    void endPartIfDue(RotatingSink& rotation);
    // See CaptureFormatter.
    void gatherWriteOuts() { formatter_.gatherWriteOuts(); }
    bool writeGathered() { return formatter_.writeGathered(); }
    // Written bytes are made durable after each write-out, or with
    // eachWriteOut false only at sync() and at the close; the file's name
    // is made durable when it is opened.
    void makeDurable(bool eachWriteOut) {
        durable_ = true;
        syncEachWriteOut_ = eachWriteOut;
    }
    // Bytes were written since the last sync of a durable capture.
    bool unsynced() const { return unsynced_; }
    void sync();
    // The file is a pipe whose reader has gone: nothing written will arrive.
    bool readerGone() const { return lastWriteError_ != 0 && sink_->readerGone(lastWriteError_); }
    bool holdsBytes() const { return formatter_.holdsBytes(); }
    // Received bytes stored so far, and how many of them were written out
    // whole: the first byte the buffer still holds.
    std::uint64_t bytesStored() const { return formatter_.bytesAdded(); }
    std::uint64_t bytesWrittenOut() const { return formatter_.bytesWrittenOut(); }
    // How many times the buffer has been written out so far.
    std::uint64_t writeOuts() const { return writeOuts_; }
    // Writes out what is buffered and kept, and closes the file. Reports on
    // standard error and gives false when that or any earlier write failed,
    // when bytes were lost or when the file was removed meanwhile.
    bool close();

    // Where the file's messages go instead of standard error.
    void setMessageOutput(std::function<void(const std::string&)> say) { say_ = std::move(say); }

    int errorCode() const { return sink_->errorCode(); }
    int eventsErrorCode() const { return events_.errorCode(); }
    bool foundNoReader() const { return sink_->foundNoReader(); }
    // Bytes are kept for a pipe, FIFO or terminal whose reader is behind,
    // which will take them once it can take more.
    bool waitsForReader() const {
        return kept_.size() > keptStart_ && sink_->readerPaced() && !refusedLast_;
    }
    // Gives the file what it takes now of the kept bytes.
    void writeKept();
    // The open file, for telling it apart from the port.
    std::intptr_t handle() const { return sink_->handle(); }

private:
    void writeOut(const std::uint8_t* bytes, std::size_t size) override;
    // Writes what is kept; false when the file refused it with an error.
    bool writeKeptBytes();
    void keep(const std::uint8_t* bytes, std::size_t size);
    void reportWriteFailure(int code);
    void noteRemoval();
    void say(const std::string& text) const;
    void reportEventsFailure();

    std::unique_ptr<CaptureSink> sink_;
    std::function<void(const std::string&)> say_;
    CaptureFormatter formatter_;
    CaptureFormat format_;
    std::vector<std::string> labels_;
    EventsFile events_;
    bool eventsFailed_ = false;
    std::vector<std::uint8_t> kept_;
    std::size_t keptStart_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t writeOuts_ = 0;
    bool writeFailed_ = false;
    bool refusedLast_ = false;  // the last write failed, rather than waited
    bool durable_ = false;
    bool syncEachWriteOut_ = false;
    bool unsynced_ = false;
    bool removed_ = false;
    int lastWriteError_ = 0;
    bool reported_ = false;
    std::chrono::steady_clock::time_point lastReport_{};
    std::chrono::steady_clock::time_point lastRemovalCheck_{};
};

}  // namespace serialtap

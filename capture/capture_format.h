#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/time_stamp.h"

namespace serialtap {

enum class CaptureFormat : std::uint8_t {
    Text = 0,  // each 0x0A stored as 0x0D 0x0A
    Raw = 1,   // the bytes exactly as received
    Hex = 2,   // offset, 16 bytes in hex, their printable form
};

// Where the formatted capture goes, a write-out at a time.
class FormattedOutput {
public:
    virtual ~FormattedOutput() = default;
    virtual void writeOut(const std::uint8_t* bytes, std::size_t count) = 0;
};

// Turns received bytes into the capture's format and holds the result in a
// 4096-byte buffer that goes to the sink when a byte is to be stored while
// it is full, and at each flush.
//
// Text without time stamps and raw keep the received bytes themselves in the
// buffer (4096 received bytes; text expands its line feeds on the way out),
// so their write-outs fall exactly where they always did. With time stamps
// or in hex the buffer holds the formatted bytes.
//
// A hex line is formatted once its 16 bytes are in; until then its bytes
// wait beside the buffer. A flush writes such a short line as it is, padded
// so that its printable column lines up, and the next line starts at the
// next byte's offset, so every offset stays the count of bytes before it.
class CaptureFormatter {
public:
    static constexpr std::size_t kBufferBytes = 4096;
    static constexpr std::size_t kHexLineBytes = 16;
    // Gathered write-outs go to the sink before they take more than this.
    static constexpr std::size_t kGatherBytes = std::size_t{256} << 10;

    CaptureFormatter(CaptureFormat format, TimeStamps stamps, FormattedOutput& sink,
                     LocalTimeFunction localTime = localCalendarTime);

    // The moment the capture began, for stamps relative to it; without it,
    // the first received byte's.
    void begin(const ClockReading& now);
    // The ports a capture of several takes bytes from, by the labels their
    // lines begin with; with one, or never called, lines carry no label.
    void setSources(const std::vector<std::string>& labels);
    // In hex, a byte that comes this long after its port's previous one
    // begins a new line; 0: never.
    void setGap(std::uint32_t milliseconds) { gapNs_ = std::int64_t{milliseconds} * 1000000; }
    // Bytes of one reception, all received at the given moment.
    void add(const std::uint8_t* bytes, std::size_t count, const ClockReading& receivedAt);
    // The same from one of the sources: a switch of source begins a new
    // line, and each source's hex offsets count its own bytes.
    void addFrom(std::size_t source, const std::uint8_t* bytes, std::size_t count,
                 const ClockReading& receivedAt);
    // An event line, "--- serialtap: " and what, at this place of the
    // source's bytes: a pending line ends first, and the line carries the
    // stamp and label a data line would. Not for raw captures, whose bytes
    // stay exactly as received. The bytes the line takes in the capture.
    std::size_t addEvent(std::size_t source, const std::string& what, const ClockReading& at);
    // The event line as it stands at the start of a line, with its stamp
    // and label, without adding it: what each new part of a rotated
    // capture begins with. The stamps of the lines around it are unchanged.
    std::string eventLine(std::size_t source, const std::string& what,
                          const ClockReading& at) const;
    // Writes out everything held, a short hex line included.
    void flush();
    // Writes out what is held but a short hex line, which stays open for
    // the bytes that complete it, as without the write-out.
    void writeOutWholeLines();
    // Until writeGathered() or a flush(), the write-outs that fall due are
    // kept side by side and then go to the sink as one: a capture of
    // several ports reads many short passes in a row, and one large write
    // costs the system far less than many of 4096 bytes. What is held
    // between write-outs stays as without it.
    void gatherWriteOuts();
    // True when there was something to write.
    bool writeGathered();
    bool holdsBytes() const { return used_ > 0 || pendingCount_ > 0 || gatheredBytes_ > 0; }
    // Event lines will come: a text capture kept as received notes where
    // its lines end, which costs a look at each reception's last byte.
    // An appended file that ends in the middle of a line has that line
    // ended before the first event line.
    void expectEvents(bool midLine = false) {
        expectEvents_ = true;
        atLineStart_ = !midLine;
    }
    // Received bytes added so far, and how many of them went out whole: the
    // first byte still held (gathered write-outs are held too, until they
    // are written), or all of them when none is.
    std::uint64_t bytesAdded() const { return added_; }
    std::uint64_t bytesWrittenOut() const {
        if (gatheredBytes_ > 0) return gatheredFrom_;
        if (direct_) return added_ - (used_ - eventBytesHeld_);
        return used_ > 0 ? heldFrom_ : added_ - pendingCount_;
    }

private:
    void addStampedText(const std::uint8_t* bytes, std::size_t count,
                        const ClockReading& receivedAt, std::uint64_t firstOffset);
    void addHex(const std::uint8_t* bytes, std::size_t count, const ClockReading& receivedAt);
    void putHexLine(const std::uint8_t* bytes, std::size_t count, const ClockReading& at);
    std::size_t formatHexLine(const std::uint8_t* bytes, std::size_t count, const ClockReading& at,
                              std::uint8_t* line);
    void switchSource(std::size_t source);
    std::string formatEvent(StampWriter& stamps, std::size_t source, const std::string& what,
                            const ClockReading& at) const;
    void endPendingLine();
    void putLabel();
    void put(const std::uint8_t* bytes, std::size_t count);
    void writeOutBuffer();

    StampWriter stamps_;
    FormattedOutput& sink_;
    CaptureFormat format_;
    // Received bytes are kept as they are and only expanded at write-out.
    bool direct_;
    bool gathering_ = false;
    bool atLineStart_ = true;
    bool labelled_ = false;
    bool expectEvents_ = false;
    // Bytes of event lines in a buffer that otherwise holds received bytes.
    std::size_t eventBytesHeld_ = 0;
    // The buffer being filled: at the start of storage_, or while write-outs
    // are gathered, after the ones gathered so far.
    std::vector<std::uint8_t> storage_ = std::vector<std::uint8_t>(kBufferBytes);
    std::uint8_t* buffer_ = storage_.data();
    // The write-outs gathered but not yet written: their size, and the
    // first received byte they hold.
    std::size_t gatheredBytes_ = 0;
    std::uint64_t gatheredFrom_ = 0;
    // Received bytes that left the buffer, when they are kept as received.
    std::uint64_t directOut_ = 0;
    std::size_t used_ = 0;
    std::uint64_t offset_ = 0;  // received bytes before the pending hex line
    std::uint64_t added_ = 0;
    std::uint64_t linedBytes_ = 0;  // received bytes in hex lines put so far
    // The received byte whose formatted form is being put, and the first
    // one of those the buffer holds.
    std::uint64_t putting_ = 0;
    std::uint64_t heldFrom_ = 0;
    std::uint8_t pending_[kHexLineBytes] = {};
    std::size_t pendingCount_ = 0;
    ClockReading pendingAt_;
    struct Source {
        std::string label;             // with its separator
        std::string padded;            // the same, padded to a multiple of 16
        std::uint64_t offset = 0;      // its bytes before its pending hex line
        std::int64_t lastHeardNs = 0;  // the clock of its latest bytes
    };
    std::vector<Source> sources_{Source{}};
    std::size_t source_ = 0;
    // What the longest hex line of any source may take, with a byte to
    // spare, and where one is formatted when the buffer's rest may be short.
    std::size_t lineRoom_ = 0;
    std::vector<std::uint8_t> lineAside_;
    std::int64_t gapNs_ = 0;
};

}  // namespace serialtap

#include "capture/capture_format.h"

#include <algorithm>
#include <cstring>

namespace serialtap {

namespace {

constexpr std::uint8_t kLineEnd[] = {0x0D, 0x0A};
constexpr char kEventLead[] = "--- serialtap: ";
constexpr char kHexDigits[] = "0123456789ABCDEF";
// Offset, two spaces, 16 times "HH ", a space, the printable column in bars, CR LF.
constexpr std::size_t kHexLineMax = 16 + 2 + 16 * 3 + 1 + 18 + 2;

struct HexPair {
    std::uint8_t high;
    std::uint8_t low;
};

// Each byte's two hex digits, alone and with the space after them, looked
// up rather than worked out: a hex line takes sixteen.
struct HexTables {
    constexpr HexTables() {
        for (std::size_t byte = 0; byte < 256; ++byte) {
            pairs[byte] = {static_cast<std::uint8_t>(kHexDigits[byte >> 4]),
                           static_cast<std::uint8_t>(kHexDigits[byte & 0xF])};
            spaced[byte][0] = pairs[byte].high;
            spaced[byte][1] = pairs[byte].low;
            spaced[byte][2] = ' ';
            spaced[byte][3] = ' ';
        }
    }
    HexPair pairs[256] = {};
    std::uint8_t spaced[256][4] = {};
};

constexpr HexTables kHex;

std::size_t writeOffset(std::uint64_t offset, std::uint8_t* out) {
    // Eight digits, more only past 4 GiB.
    if (offset <= 0xFFFFFFFF) {
        std::memcpy(out, &kHex.pairs[(offset >> 24) & 0xFF], 2);
        std::memcpy(out + 2, &kHex.pairs[(offset >> 16) & 0xFF], 2);
        std::memcpy(out + 4, &kHex.pairs[(offset >> 8) & 0xFF], 2);
        std::memcpy(out + 6, &kHex.pairs[offset & 0xFF], 2);
        return 8;
    }
    std::size_t digits = 9;
    while (digits < 16 && (offset >> (4 * digits)) != 0) ++digits;
    for (std::size_t i = 0; i < digits; ++i) {
        out[i] = static_cast<std::uint8_t>(kHexDigits[(offset >> (4 * (digits - 1 - i))) & 0xF]);
    }
    return digits;
}

// Eight bytes' printable forms at once, each byte of the word on its own
// (no sum carries into the next byte), so it holds for either byte order.
void putPrintable(const std::uint8_t* bytes, std::uint8_t* out) {
    constexpr std::uint64_t kEach = 0x0101010101010101;
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    const std::uint64_t low = word & (0x7F * kEach);
    const std::uint64_t fromSpace = (low + 0x60 * kEach) & (0x80 * kEach);
    const std::uint64_t notDelete = ((low ^ (0x7F * kEach)) + 0x7F * kEach) & (0x80 * kEach);
    const std::uint64_t shown = fromSpace & notDelete & ~word & (0x80 * kEach);
    const std::uint64_t keep = (shown >> 7) * 0xFF;
    const std::uint64_t result = (word & keep) | ('.' * kEach & ~keep);
    std::memcpy(out, &result, sizeof result);
}

}  // namespace

CaptureFormatter::CaptureFormatter(CaptureFormat format, TimeStamps stamps, FormattedOutput& sink,
                                   LocalTimeFunction localTime)
    :  // Raw bytes have no lines to stamp.
      stamps_(format == CaptureFormat::Raw ? TimeStamps::None : stamps, localTime),
      sink_(sink),
      format_(format),
      direct_(format == CaptureFormat::Raw ||
              (format == CaptureFormat::Text && !stamps_.enabled())),
      lineRoom_(StampWriter::kMaxBytes + kHexLineMax + 1) {}

void CaptureFormatter::begin(const ClockReading& now) { stamps_.begin(now); }

void CaptureFormatter::setSources(const std::vector<std::string>& labels) {
    labelled_ = labels.size() > 1;
    sources_.assign(labels.empty() ? 1 : labels.size(), Source{});
    if (!labelled_) return;
    std::size_t longest = 0;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        Source& source = sources_[i];
        source.label = labels[i] + ": ";
        source.padded = source.label;
        source.padded.resize((source.label.size() + 15) / 16 * 16, ' ');
        longest = std::max(longest, source.label.size());
    }
    lineRoom_ = StampWriter::kMaxBytes + longest + kHexLineMax + 1;
    // Labels go into every line, so the bytes cannot be kept as they came.
    direct_ = false;
}

void CaptureFormatter::addFrom(std::size_t source, const std::uint8_t* bytes, std::size_t count,
                               const ClockReading& receivedAt) {
    if (source != source_ && source < sources_.size()) switchSource(source);
    add(bytes, count, receivedAt);
}

void CaptureFormatter::switchSource(std::size_t source) {
    if (format_ == CaptureFormat::Hex) {
        endPendingLine();
        sources_[source_].offset = offset_;
        offset_ = sources_[source].offset;
    } else if (!atLineStart_) {
        put(kLineEnd, sizeof kLineEnd);
        atLineStart_ = true;
    }
    source_ = source;
}

void CaptureFormatter::endPendingLine() {
    if (pendingCount_ == 0) return;
    putHexLine(pending_, pendingCount_, pendingAt_);
    pendingCount_ = 0;
}

void CaptureFormatter::putLabel() {
    const std::string& label = sources_[source_].label;
    put(reinterpret_cast<const std::uint8_t*>(label.data()), label.size());
}

void CaptureFormatter::add(const std::uint8_t* bytes, std::size_t count,
                           const ClockReading& receivedAt) {
    std::uint64_t first = added_;
    added_ += count;
    if (direct_) {
        put(bytes, count);
        if (expectEvents_ && count > 0) atLineStart_ = bytes[count - 1] == 0x0A;
    } else if (format_ == CaptureFormat::Hex) {
        addHex(bytes, count, receivedAt);
    } else {
        addStampedText(bytes, count, receivedAt, first);
    }
}

std::size_t CaptureFormatter::addEvent(std::size_t source, const std::string& what,
                                       const ClockReading& at) {
    if (format_ == CaptureFormat::Raw) return 0;
    if (source != source_ && source < sources_.size()) switchSource(source);
    putting_ = format_ == CaptureFormat::Hex ? linedBytes_ : added_;
    if (direct_) {
        // The buffer holds received bytes, whose LFs become CR LF on the
        // way out: the line in progress ends that way, then the buffer goes
        // out and the event line after it, as it is.
        if (!atLineStart_) {
            put(kLineEnd + 1, 1);
            ++eventBytesHeld_;
        }
        if (used_ > 0) writeOutBuffer();
        writeGathered();
        const std::string line = formatEvent(stamps_, source_, what, at);
        sink_.writeOut(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
        atLineStart_ = true;
        return line.size();
    }
    if (format_ == CaptureFormat::Hex) endPendingLine();
    if (!atLineStart_) put(kLineEnd, sizeof kLineEnd);
    const std::string line = formatEvent(stamps_, source_, what, at);
    put(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    atLineStart_ = true;
    return line.size();
}

std::string CaptureFormatter::eventLine(std::size_t source, const std::string& what,
                                        const ClockReading& at) const {
    // Said apart from the capture's stream: its stamps go on untouched.
    StampWriter stamps = stamps_;
    return formatEvent(stamps, source < sources_.size() ? source : source_, what, at);
}

// The stamp, the label, the lead and what happened; an event line ends in
// a bare LF, which no device can put in a text capture: its every LF is
// stored as CR LF.
std::string CaptureFormatter::formatEvent(StampWriter& stamps, std::size_t source,
                                          const std::string& what, const ClockReading& at) const {
    std::uint8_t stamp[StampWriter::kMaxBytes];
    std::string line(reinterpret_cast<const char*>(stamp), stamps.write(at, stamp));
    if (labelled_) line += sources_[source].label;
    return line + kEventLead + what + "\n";
}

void CaptureFormatter::flush() {
    endPendingLine();
    if (used_ > 0) writeOutBuffer();
    writeGathered();
}

void CaptureFormatter::writeOutWholeLines() {
    if (used_ > 0) writeOutBuffer();
    writeGathered();
}

void CaptureFormatter::gatherWriteOuts() {
    if (storage_.size() < kGatherBytes) {
        // Once, before anything is gathered: the buffer moves to the new room.
        std::vector<std::uint8_t> room(kGatherBytes);
        std::memcpy(room.data(), buffer_, used_);
        storage_.swap(room);
        buffer_ = storage_.data() + gatheredBytes_;
    }
    gathering_ = true;
}

bool CaptureFormatter::writeGathered() {
    gathering_ = false;
    if (gatheredBytes_ == 0) return false;
    const std::size_t size = gatheredBytes_;
    gatheredBytes_ = 0;
    sink_.writeOut(storage_.data(), size);
    // What the buffer holds moves to the start, behind nothing.
    std::memmove(storage_.data(), buffer_, used_);
    buffer_ = storage_.data();
    return true;
}

void CaptureFormatter::addStampedText(const std::uint8_t* bytes, std::size_t count,
                                      const ClockReading& receivedAt, std::uint64_t firstOffset) {
    const std::uint8_t* next = bytes;
    const std::uint8_t* end = bytes + count;
    while (next < end) {
        putting_ = firstOffset + static_cast<std::uint64_t>(next - bytes);
        // A line begins with the first byte after a line feed, so a capture
        // that ends with one has no stamp after it.
        if (atLineStart_) {
            std::uint8_t stamp[StampWriter::kMaxBytes];
            put(stamp, stamps_.write(receivedAt, stamp));
            if (labelled_) putLabel();
            atLineStart_ = false;
        }
        const void* lineFeed = std::memchr(next, 0x0A, static_cast<std::size_t>(end - next));
        if (lineFeed == nullptr) {
            put(next, static_cast<std::size_t>(end - next));
            return;
        }
        const auto* runEnd = static_cast<const std::uint8_t*>(lineFeed);
        put(next, static_cast<std::size_t>(runEnd - next));
        put(kLineEnd, sizeof kLineEnd);
        atLineStart_ = true;
        next = runEnd + 1;
    }
}

void CaptureFormatter::addHex(const std::uint8_t* bytes, std::size_t count,
                              const ClockReading& receivedAt) {
    if (gapNs_ > 0) {
        std::int64_t& last = sources_[source_].lastHeardNs;
        if (last != 0 && receivedAt.monotonicNs - last >= gapNs_) endPendingLine();
        last = receivedAt.monotonicNs;
    }
    while (count > 0) {
        if (pendingCount_ == 0 && count >= kHexLineBytes) {
            putHexLine(bytes, kHexLineBytes, receivedAt);
            bytes += kHexLineBytes;
            count -= kHexLineBytes;
            continue;
        }
        if (pendingCount_ == 0) pendingAt_ = receivedAt;
        std::size_t take = kHexLineBytes - pendingCount_;
        if (take > count) take = count;
        std::memcpy(pending_ + pendingCount_, bytes, take);
        pendingCount_ += take;
        bytes += take;
        count -= take;
        if (pendingCount_ == kHexLineBytes) {
            putHexLine(pending_, kHexLineBytes, pendingAt_);
            pendingCount_ = 0;
        }
    }
}

std::size_t CaptureFormatter::formatHexLine(const std::uint8_t* bytes, std::size_t count,
                                            const ClockReading& at, std::uint8_t* line) {
    std::size_t length = stamps_.enabled() ? stamps_.write(at, line) : 0;
    if (labelled_) {
        // In whole pieces of 16, which the line's next bytes overwrite: far
        // cheaper than a copy of any length.
        const Source& from = sources_[source_];
        for (std::size_t done = 0; done < from.label.size(); done += 16) {
            std::memcpy(line + length + done, from.padded.data() + done, 16);
        }
        length += from.label.size();
    }
    length += writeOffset(offset_, line + length);
    line[length++] = ' ';
    line[length++] = ' ';
    // Every line is formatted as sixteen bytes, so the loops have a fixed
    // length; a short line's missing bytes are then padded over, and what
    // its printable column wrote past its end lies past the line.
    std::uint8_t whole[kHexLineBytes] = {};
    if (count < kHexLineBytes) {
        std::memcpy(whole, bytes, count);
        bytes = whole;
    }
    // Each byte's "HH " goes in as one four-byte store whose last byte the
    // next one overwrites: the line has a byte to spare past its end.
#pragma GCC unroll 16
    for (std::size_t i = 0; i < kHexLineBytes; ++i) {
        std::memcpy(line + length + 3 * i, kHex.spaced[bytes[i]], sizeof kHex.spaced[0]);
    }
    // A short line is padded so that its printable column lines up.
    length += 3 * count;
    std::memset(line + length, ' ', 3 * (kHexLineBytes - count) + 1);
    length += 3 * (kHexLineBytes - count) + 1;
    line[length++] = '|';
    putPrintable(bytes, line + length);
    putPrintable(bytes + 8, line + length + 8);
    length += count;
    line[length++] = '|';
    line[length++] = 0x0D;
    line[length++] = 0x0A;
    return length;
}

void CaptureFormatter::putHexLine(const std::uint8_t* bytes, std::size_t count,
                                  const ClockReading& at) {
    // Lines go out in the order their bytes came, whichever port's.
    putting_ = linedBytes_;
    if (used_ == kBufferBytes) writeOutBuffer();
    // Most lines are formatted where they go; one that may not fit in the
    // buffer's rest is formatted aside and put in two pieces, so that the
    // write-outs fall where they would for any other bytes.
    if (kBufferBytes - used_ >= lineRoom_) {
        if (used_ == 0) heldFrom_ = putting_;
        used_ += formatHexLine(bytes, count, at, buffer_ + used_);
    } else {
        lineAside_.resize(lineRoom_);
        put(lineAside_.data(), formatHexLine(bytes, count, at, lineAside_.data()));
    }
    offset_ += count;
    linedBytes_ += count;
}

void CaptureFormatter::put(const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        if (used_ == kBufferBytes) writeOutBuffer();
        if (used_ == 0) heldFrom_ = putting_;
        const std::size_t room = kBufferBytes - used_;
        const std::size_t take = count < room ? count : room;
        std::memcpy(buffer_ + used_, bytes, take);
        used_ += take;
        bytes += take;
        count -= take;
    }
}

void CaptureFormatter::writeOutBuffer() {
    // The first received byte this buffer holds.
    const std::uint64_t first = direct_ ? directOut_ : heldFrom_;
    if (direct_) directOut_ += used_ - eventBytesHeld_;
    eventBytesHeld_ = 0;
    if (!direct_ || format_ == CaptureFormat::Raw) {
        const std::size_t size = used_;
        used_ = 0;
        if (gathering_) {
            // The next buffer begins where this one ends, while there is room.
            if (gatheredBytes_ == 0) gatheredFrom_ = first;
            gatheredBytes_ += size;
            if (gatheredBytes_ + kBufferBytes <= storage_.size()) {
                buffer_ = storage_.data() + gatheredBytes_;
                return;
            }
            const std::size_t all = gatheredBytes_;
            gatheredBytes_ = 0;
            buffer_ = storage_.data();
            sink_.writeOut(storage_.data(), all);
            return;
        }
        sink_.writeOut(buffer_, size);
        return;
    }
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
    sink_.writeOut(expanded, size);
}

}  // namespace serialtap

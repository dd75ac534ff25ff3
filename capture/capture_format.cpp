#include "capture/capture_format.h"

#include <cstring>

namespace serialtap {

namespace {

constexpr std::uint8_t kLineEnd[] = {0x0D, 0x0A};
constexpr char kHexDigits[] = "0123456789ABCDEF";
// Offset, two spaces, 16 times "HH ", a space, the printable column in bars, CR LF.
constexpr std::size_t kHexLineMax = 16 + 2 + 16 * 3 + 1 + 18 + 2;

struct HexPair {
    std::uint8_t high;
    std::uint8_t low;
};

// Each byte's two hex digits and its printable form, looked up rather than
// worked out: a hex line takes sixteen of each.
struct HexTables {
    constexpr HexTables() {
        for (std::size_t byte = 0; byte < 256; ++byte) {
            pairs[byte] = {static_cast<std::uint8_t>(kHexDigits[byte >> 4]),
                           static_cast<std::uint8_t>(kHexDigits[byte & 0xF])};
            printable[byte] = byte >= 0x20 && byte < 0x7F ? static_cast<std::uint8_t>(byte) : '.';
        }
    }
    HexPair pairs[256] = {};
    std::uint8_t printable[256] = {};
};

constexpr HexTables kHex;

std::size_t writeOffset(std::uint64_t offset, std::uint8_t* out) {
    // Eight digits, more only past 4 GiB.
    std::size_t digits = 8;
    while (digits < 16 && (offset >> (4 * digits)) != 0) ++digits;
    for (std::size_t i = 0; i < digits; ++i) {
        out[i] = static_cast<std::uint8_t>(kHexDigits[(offset >> (4 * (digits - 1 - i))) & 0xF]);
    }
    return digits;
}

}  // namespace

CaptureFormatter::CaptureFormatter(CaptureFormat format, TimeStamps stamps, FormattedOutput& sink,
                                   LocalTimeFunction localTime)
    : format_(format),
      // Raw bytes have no lines to stamp.
      stamps_(format == CaptureFormat::Raw ? TimeStamps::None : stamps, localTime),
      sink_(sink),
      direct_(format == CaptureFormat::Raw ||
              (format == CaptureFormat::Text && !stamps_.enabled())) {}

void CaptureFormatter::begin(const ClockReading& now) { stamps_.begin(now); }

void CaptureFormatter::setSources(const std::vector<std::string>& labels) {
    labelled_ = labels.size() > 1;
    sources_.assign(labels.empty() ? 1 : labels.size(), Source{});
    if (!labelled_) return;
    for (std::size_t i = 0; i < labels.size(); ++i) sources_[i].label = labels[i] + ": ";
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
    } else if (format_ == CaptureFormat::Hex) {
        addHex(bytes, count, receivedAt);
    } else {
        addStampedText(bytes, count, receivedAt, first);
    }
}

void CaptureFormatter::flush() {
    endPendingLine();
    if (used_ > 0) writeOutBuffer();
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

void CaptureFormatter::putHexLine(const std::uint8_t* bytes, std::size_t count,
                                  const ClockReading& at) {
    // Lines go out in the order their bytes came, whichever port's.
    putting_ = linedBytes_;
    std::uint8_t line[StampWriter::kMaxBytes + kHexLineMax];
    std::size_t length = stamps_.write(at, line);
    if (labelled_) {
        put(line, length);
        putLabel();
        length = 0;
    }
    length += writeOffset(offset_, line + length);
    line[length++] = ' ';
    line[length++] = ' ';
    for (std::size_t i = 0; i < count; ++i) {
        const HexPair& pair = kHex.pairs[bytes[i]];
        line[length] = pair.high;
        line[length + 1] = pair.low;
        line[length + 2] = ' ';
        length += 3;
    }
    // A short line is padded so that its printable column lines up.
    std::memset(line + length, ' ', 3 * (kHexLineBytes - count) + 1);
    length += 3 * (kHexLineBytes - count) + 1;
    line[length++] = '|';
    for (std::size_t i = 0; i < count; ++i) line[length++] = kHex.printable[bytes[i]];
    line[length++] = '|';
    line[length++] = 0x0D;
    line[length++] = 0x0A;
    put(line, length);
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
    if (!direct_ || format_ == CaptureFormat::Raw) {
        const std::size_t size = used_;
        used_ = 0;
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

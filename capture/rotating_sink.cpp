#include "capture/rotating_sink.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "capture/part_files.h"
#include "capture/time_stamp.h"

namespace serialtap {

namespace {

std::int64_t utcSecondsNow() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

bool allDigits(const std::string& text, std::size_t from, std::size_t count) {
    if (from + count > text.size()) return false;
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

// base.YYYYMMDDTHHMMSSZ, optionally followed by -digits.
bool isPartOf(const std::string& base, const std::string& name) {
    const std::size_t at = base.size() + 1;
    if (name.compare(0, at, base + ".") != 0) return false;
    if (!allDigits(name, at, 8) || name.size() < at + 16 || name[at + 8] != 'T' ||
        !allDigits(name, at + 9, 6) || name[at + 15] != 'Z') {
        return false;
    }
    const std::size_t rest = at + 16;
    if (name.size() == rest) return true;
    return name[rest] == '-' && name.size() > rest + 1 &&
           allDigits(name, rest + 1, name.size() - rest - 1);
}

}  // namespace

std::string utcStamp(std::int64_t seconds) {
    const CalendarTime utc = utcCalendarTime(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", utc.year, utc.month, utc.day,
                  utc.hour, utc.minute, utc.second);
    return text;
}

RotatingSink::RotatingSink(RotationPolicy policy, SinkFactory makeSink)
    : policy_(policy), makeSink_(std::move(makeSink)), live_(makeSink_()) {}

bool RotatingSink::open(const std::string& fileName, bool append) {
    if (!live_->open(fileName, append)) return false;
    name_ = fileName;
    std::size_t cut = name_.find_last_of(part_files::kFolderSeparators);
    folder_ = cut == std::string::npos ? std::string() : name_.substr(0, cut + 1);
    base_ = cut == std::string::npos ? name_ : name_.substr(cut + 1);
    part_files::Facts facts = part_files::facts(name_);
    rotating_ = policy_.active() && facts.regular;
    if (!rotating_) return true;
    if (policy_.durable) part_files::syncFolder(folder_);
    // An earlier capture appended to counts towards the limit, and ends
    // with the period it was last written in.
    partBytes_ = append ? facts.size : 0;
    std::int64_t start = partBytes_ > 0 ? facts.modifiedUtcSeconds : utcSecondsNow();
    if (policy_.periodSeconds > 0) {
        const std::int64_t period = policy_.periodSeconds;
        periodEnd_ = (start >= 0 ? start / period + 1 : 0) * period;
    }
    if (policy_.limitBytes > 0 && partBytes_ >= policy_.limitBytes) becomeDue();
    return true;
}

SinkWrite RotatingSink::write(const std::uint8_t* bytes, std::size_t size) {
    if (!rotating_) return live_->write(bytes, size);
    noteClock();
    SinkWrite total;
    while (size > 0) {
        std::size_t take = size;
        if (due_) {
            take = bytesForThisPart(bytes, size);
            if (take == 0) {
                rotate();
                continue;
            }
        } else if (policy_.limitBytes > 0 && partBytes_ + size > policy_.limitBytes) {
            take = static_cast<std::size_t>(policy_.limitBytes - partBytes_);
        }
        SinkWrite done = live_->write(bytes, take);
        if (done.written > 0) {
            partBytes_ += done.written;
            atLineEnd_ = bytes[done.written - 1] == 0x0A;
            if (due_) bytesSinceDue_ += done.written;
        }
        total.written += done.written;
        if (done.written < take) {
            total.error = done.error;
            total.wouldBlock = done.wouldBlock;
            return total;
        }
        bytes += take;
        size -= take;
        if (!due_ && policy_.limitBytes > 0 && partBytes_ >= policy_.limitBytes) becomeDue();
    }
    // A line that has just ended the part closes it at once.
    if (due_ && bytesForThisPart(nullptr, 0) == 0) rotate();
    return total;
}

std::size_t RotatingSink::bytesForThisPart(const std::uint8_t* bytes, std::size_t size) const {
    if (!policy_.lines || atLineEnd_ || bytesSinceDue_ >= kLineGraceBytes ||
        SteadyClock::now() - dueSince_ >= kLineGrace) {
        return 0;
    }
    const auto budget = static_cast<std::size_t>(kLineGraceBytes - bytesSinceDue_);
    if (size == 0) return 1;  // the line may still end within the grace
    const void* lineFeed = std::memchr(bytes, 0x0A, std::min(size, budget));
    if (lineFeed != nullptr)
        return static_cast<std::size_t>(static_cast<const std::uint8_t*>(lineFeed) - bytes) + 1;
    return size < budget ? size : 0;
}

void RotatingSink::noteClock() {
    if (policy_.periodSeconds == 0 || due_) return;
    const std::int64_t now = utcSecondsNow();
    if (now < periodEnd_) return;
    // A part that holds nothing is not ended; its period just moves on.
    if (partBytes_ > 0) becomeDue();
    periodEnd_ = (now / policy_.periodSeconds + 1) * policy_.periodSeconds;
}

void RotatingSink::becomeDue() {
    due_ = true;
    dueSince_ = SteadyClock::now();
    bytesSinceDue_ = 0;
}

std::optional<RotatingSink::SteadyClock::time_point> RotatingSink::deadline() const {
    if (!rotating_) return std::nullopt;
    const SteadyClock::time_point now = SteadyClock::now();
    if (due_) return bytesForThisPart(nullptr, 0) == 0 ? now : dueSince_ + kLineGrace;
    if (policy_.periodSeconds == 0) return std::nullopt;
    using namespace std::chrono;
    const auto left = system_clock::time_point(seconds(periodEnd_)) - system_clock::now();
    return now + duration_cast<SteadyClock::duration>(left);
}

void RotatingSink::rotateIfDue() {
    if (!rotating_) return;
    noteClock();
    if (due_ && bytesForThisPart(nullptr, 0) == 0) rotate();
}

void RotatingSink::rotate() {
    due_ = false;
    // Whatever happens, the next try comes when the next part would end.
    partBytes_ = 0;
    const std::string part = partName();
    // The part's last bytes are on the disk before it takes its new name.
    if (policy_.durable) live_->sync();
    if (!part_files::kRenamesOpenFiles) live_->close();
    if (int code = part_files::renameFile(name_, part)) {
        report("Error: Can't rename the file to %s: %d\n", part, code);
        if (!live_->isOpen()) live_->open(name_, true);
        return;
    }
    // The new live file is open, and locked, before the old one lets go.
    std::unique_ptr<CaptureSink> fresh = makeSink_();
    if (!fresh->open(name_, false)) {
        int code = fresh->errorCode();
        report("Error: Can't open the next part of the file%s: %d\n", "", code);
        // Back under its name, the part goes on as the live file.
        part_files::renameFile(part, name_);
        if (!live_->isOpen()) live_->open(name_, true);
        return;
    }
    if (live_->isOpen()) live_->close();
    live_ = std::move(fresh);
    atLineEnd_ = true;
    if (policy_.durable) part_files::syncFolder(folder_);
    removeOldParts();
}

void RotatingSink::report(const char* format, const std::string& name, int code) {
    std::vector<char> text(name.size() + std::strlen(format) + 16);
    std::snprintf(text.data(), text.size(), format, name.c_str(), code);
    if (say_) {
        say_(text.data());
    } else {
        std::fputs(text.data(), stderr);
    }
}

std::string RotatingSink::partName() {
    const std::string stamp = utcStamp(utcSecondsNow());
    unsigned suffix = stamp == lastStamp_ ? lastSuffix_ + 1 : 0;
    for (;; ++suffix) {
        std::string name = name_ + "." + stamp;
        if (suffix > 0) {
            char text[16];
            std::snprintf(text, sizeof text, "-%04u", suffix);
            name += text;
        }
        if (!part_files::facts(name).exists) {
            lastStamp_ = stamp;
            lastSuffix_ = suffix;
            return name;
        }
    }
}

void RotatingSink::removeOldParts() {
    if (policy_.keep == 0) return;
    std::vector<std::string> parts;
    for (std::string& name : part_files::folderNames(folder_)) {
        if (isPartOf(base_, name)) parts.push_back(std::move(name));
    }
    if (parts.size() <= policy_.keep) return;
    std::sort(parts.begin(), parts.end());
    const std::size_t extra = parts.size() - policy_.keep;
    for (std::size_t i = 0; i < extra; ++i) {
        const std::string path = folder_ + parts[i];
        if (int code = part_files::removeFile(path)) {
            report("Error: Can't remove the old part %s: %d\n", path, code);
            return;
        }
    }
}

}  // namespace serialtap

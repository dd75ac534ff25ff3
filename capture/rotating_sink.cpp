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

bool allDigits(const std::string& text, std::size_t from, std::size_t count) {
    if (count == 0 || from + count > text.size()) return false;
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

// base.YYYYMMDDTHHMMSSZ, then any counters -digits.
bool isPartOf(const std::string& base, const std::string& name) {
    const std::size_t at = base.size() + 1;
    if (name.compare(0, at, base + ".") != 0) return false;
    if (!allDigits(name, at, 8) || name.size() < at + 16 || name[at + 8] != 'T' ||
        !allDigits(name, at + 9, 6) || name[at + 15] != 'Z') {
        return false;
    }
    for (std::size_t rest = at + 16; rest < name.size();) {
        std::size_t end = name.find('-', rest + 1);
        if (end == std::string::npos) end = name.size();
        if (name[rest] != '-' || !allDigits(name, rest + 1, end - rest - 1)) return false;
        rest = end;
    }
    return true;
}

constexpr std::chrono::seconds kSayEvery{1};

}  // namespace

std::string utcStamp(std::int64_t seconds) {
    const CalendarTime utc = utcCalendarTime(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", utc.year, utc.month, utc.day,
                  utc.hour, utc.minute, utc.second);
    return text;
}

std::string followingPartName(const std::string& name) {
    // Four digits always: -10000 would sort before -1001.
    const std::size_t dash = name.find_last_of('-');
    const std::size_t digits = name.size() - dash - 1;
    if (dash != std::string::npos && digits == 4 && allDigits(name, dash + 1, 4) &&
        name.compare(dash + 1, 4, "9999") != 0) {
        char text[16];
        std::snprintf(text, sizeof text, "%04d", std::stoi(name.substr(dash + 1)) + 1);
        return name.substr(0, dash + 1) + text;
    }
    return name + "-0001";
}

RotatingSink::RotatingSink(RotationPolicy policy, SinkFactory makeSink, WallClock wallClock)
    : policy_(policy),
      makeSink_(std::move(makeSink)),
      wallClock_(std::move(wallClock)),
      live_(makeSink_()) {}

bool RotatingSink::open(const std::string& fileName, bool append) {
    if (!live_->open(fileName, append)) return false;
    name_ = fileName;
    folder_ = part_files::folderOf(name_);
    base_ = name_.substr(folder_.size());
    part_files::Facts facts = part_files::facts(name_);
    rotating_ = policy_.active() && facts.regular;
    if (!rotating_) return true;
    // Parts of an earlier capture, even from a clock that was ahead, come
    // before this capture's parts.
    std::vector<std::string> parts = partsOnDisk();
    if (!parts.empty()) lastPart_ = folder_ + *std::max_element(parts.begin(), parts.end());
    takeLeftPart();
    // An earlier capture appended to counts towards the limit, and ends
    // with the period it was last written in.
    partBytes_ = append ? facts.size : 0;
    // A file last written by a clock that was ahead ends with this period.
    std::int64_t start = utcSeconds();
    if (partBytes_ > 0) start = std::min(start, facts.modifiedUtcSeconds);
    if (policy_.periodSeconds > 0) {
        const std::int64_t period = policy_.periodSeconds;
        periodEnd_ = (start >= 0 ? start / period + 1 : 0) * period;
    }
    if (policy_.limitBytes > 0 && partBytes_ >= policy_.limitBytes) becomeDue();
    return true;
}

SinkWrite RotatingSink::write(const std::uint8_t* bytes, std::size_t size) {
    if (!rotating_) return live_->write(bytes, size);
    if (!live_->holdsName()) replaceLostFile();
    // The end of a period is seen by rotateIfDue(), after what was held
    // until then is written: these bytes still go to the part that ends.
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

bool RotatingSink::removed() {
    if (rotating_ && !live_->holdsName()) replaceLostFile();
    return live_->removed();
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

std::int64_t RotatingSink::utcSeconds() const {
    using namespace std::chrono;
    return duration_cast<seconds>(wallClock_().time_since_epoch()).count();
}

bool RotatingSink::periodEnded() const {
    return rotating_ && policy_.periodSeconds > 0 && !due_ && utcSeconds() >= periodEnd_;
}

void RotatingSink::noteClock() {
    if (!periodEnded()) return;
    // A part that holds nothing is not ended; its period just moves on.
    if (partBytes_ > 0) becomeDue();
    periodEnd_ = (utcSeconds() / policy_.periodSeconds + 1) * policy_.periodSeconds;
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
    const auto left = system_clock::time_point(seconds(periodEnd_)) - wallClock_();
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
    if (!live_->holdsName()) {
        replaceLostFile();
        return;
    }
    const std::string part = partName(utcSeconds());
    // The part's last bytes are on the disk before it takes its new name.
    if (policy_.durable) live_->sync();
    if (swapInNextPart(part)) return;
    // The live file stays open through the rename, so a failed rename
    // loses nothing: the capture goes on in it.
    if (int code = part_files::renameFile(name_, part)) {
        reportRename(part, code);
        return;
    }
    // The new live file is open, and locked, before the old one lets go.
    std::unique_ptr<CaptureSink> fresh = makeSink_();
    if (!fresh->open(name_, false)) {
        report(kNextPart, "Error: Can't open the next part of the file: " +
                              std::to_string(fresh->errorCode()));
        // Back under its name, the part goes on as the live file. When
        // another capture has taken the name meanwhile, that file is left
        // alone: this capture goes on in its part, which it rotates no more.
        if (part_files::renameFile(part, name_) != 0) {
            report(kNameTaken, "Error: The capture goes on in " + part);
            live_->renamed(part);
            name_ = part;
            rotating_ = false;
        }
        return;
    }
    partEnded(part, std::move(fresh));
}

bool RotatingSink::swapInNextPart(const std::string& part) {
    // The name never leads to a file without a lock, so no other capture
    // can take it in the moment between. The next live file is made under
    // a hidden name of its own, so that no part is ever seen empty by a
    // script that collects the parts as they come. One left empty by a
    // killed capture is taken; one that holds anything is never emptied
    // (the part's name serves then); a link there is never followed.
    const std::string hidden = hiddenName();
    std::unique_ptr<CaptureSink> fresh = makeSink_();
    bool viaHidden = !part_files::facts(hidden).link && fresh->open(hidden, true);
    if (viaHidden) {
        const part_files::Facts left = part_files::facts(hidden);
        if (!left.regular || left.link || left.size != 0) {
            fresh->close();
            fresh = makeSink_();
            viaHidden = false;
        }
    }
    const std::string& made = viaHidden ? hidden : part;
    if (!viaHidden && !fresh->open(part, false)) return false;
    int code = part_files::exchangeFiles(made, name_);
    if (code != 0) {
        fresh->close();
        part_files::removeFile(made);
        if (code == part_files::kCannotExchange) return false;
        reportRename(part, code);
        return true;
    }
    if (viaHidden) {
        code = part_files::renameFile(hidden, part);
        // Swapped back, the capture goes on in the same file, as after any
        // failed rename.
        if (code != 0 && part_files::exchangeFiles(hidden, name_) == 0) {
            fresh->close();
            part_files::removeFile(hidden);
            reportRename(part, code);
            return true;
        }
        // Else the part keeps the hidden name: said, never lost.
        if (code != 0) reportRename(part, code, "; it is " + hidden);
    }
    fresh->renamed(name_);
    live_->renamed(code == 0 ? part : hidden);
    partEnded(part, std::move(fresh));
    return true;
}

void RotatingSink::partEnded(const std::string& part, std::unique_ptr<CaptureSink> fresh) {
    lastPart_ = part;
    live_->close();
    live_ = std::move(fresh);
    atLineEnd_ = true;
    writeHeader();
    if (policy_.durable) part_files::syncFolder(folder_);
    removeOldParts();
}

void RotatingSink::writeHeader() {
    if (!partHeader_) return;
    const std::string header = partHeader_();
    if (header.empty()) return;
    SinkWrite done =
        live_->write(reinterpret_cast<const std::uint8_t*>(header.data()), header.size());
    partBytes_ += done.written;
}

void RotatingSink::replaceLostFile() {
    std::unique_ptr<CaptureSink> fresh = makeSink_();
    // Whatever took the name meanwhile is added to, never emptied.
    if (!fresh->open(name_, true)) {
        report(kNextPart, "Error: Can't open the next part of the file: " +
                              std::to_string(fresh->errorCode()));
        return;
    }
    live_->close();
    live_ = std::move(fresh);
    partBytes_ = part_files::facts(name_).size;
    atLineEnd_ = true;
    due_ = false;
    writeHeader();
    if (policy_.durable) live_->syncName();
    report(kReplaced,
           "Error: The file was removed or moved away; the capture goes on in a new " + name_);
}

void RotatingSink::reportRename(const std::string& part, int code, const std::string& more) {
    report(kRename, "Error: Can't rename the file to " + part + ": " + std::to_string(code) + more);
}

void RotatingSink::report(Message kind, const std::string& text) {
    // A failure that repeats with every part is said once a second at most.
    const SteadyClock::time_point now = SteadyClock::now();
    if (said_[kind] && now - *said_[kind] < kSayEvery) return;
    said_[kind] = now;
    if (say_) {
        say_(text + "\n");
    } else {
        std::fputs((text + "\n").c_str(), stderr);
    }
}

void RotatingSink::takeLeftPart() {
    // It ended before anything in the live file was written, so it comes
    // next, named for when it was last written. One that another capture
    // holds is left alone, as is one left empty (the next live file then).
    const std::string hidden = hiddenName();
    const part_files::Facts left = part_files::facts(hidden);
    if (!left.regular || left.link || left.size == 0) return;
    std::unique_ptr<CaptureSink> held = makeSink_();
    if (!held->open(hidden, true)) return;
    const std::string part = partName(left.modifiedUtcSeconds);
    if (part_files::renameFile(hidden, part) == 0) lastPart_ = part;
    held->close();
}

std::string RotatingSink::partName(std::int64_t seconds) const {
    std::string name = name_ + "." + utcStamp(seconds);
    // A clock that went back, or many parts in one second.
    if (!lastPart_.empty() && name <= lastPart_) name = followingPartName(lastPart_);
    for (part_files::Facts taken = part_files::facts(name); taken.exists || taken.link;
         taken = part_files::facts(name)) {
        name = followingPartName(name);
    }
    return name;
}

std::uint64_t RotatingSink::partBytes() const {
    std::uint64_t total = 0;
    for (const std::string& name : partsOnDisk()) total += part_files::facts(folder_ + name).size;
    return total;
}

std::vector<std::string> RotatingSink::partsOnDisk() const {
    // Only files are parts: a folder with a part's name is neither counted
    // nor followed in the naming.
    std::vector<std::string> parts;
    for (std::string& name : part_files::folderNames(folder_)) {
        if (isPartOf(base_, name) && part_files::facts(folder_ + name).regular)
            parts.push_back(std::move(name));
    }
    return parts;
}

void RotatingSink::removeOldParts() {
    if (policy_.keep == 0) return;
    std::vector<std::string> parts = partsOnDisk();
    if (parts.size() <= policy_.keep) return;
    std::sort(parts.begin(), parts.end());
    // One that cannot be removed is passed over; the rest still go.
    for (std::size_t i = 0; i + policy_.keep < parts.size(); ++i) {
        const std::string path = folder_ + parts[i];
        if (path == lastPart_) continue;
        if (int code = part_files::removeFile(path)) {
            report(kRemove,
                   "Error: Can't remove the old part " + path + ": " + std::to_string(code));
        }
    }
}

}  // namespace serialtap

#include "capture/capture_file.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>

namespace serialtap {

namespace {

// Whether a regular file holds something after its last line feed: what an
// earlier capture without event lines, or one cut short, may leave.
bool endsMidLine(const std::string& fileName) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(fileName, error) ||
        std::filesystem::file_size(fileName, error) == 0 || error) {
        return false;
    }
    std::ifstream file(fileName, std::ios::binary | std::ios::ate);
    char last = '\n';
    if (!file.seekg(-1, std::ios::end) || !file.get(last)) return false;
    return last != '\n';
}

}  // namespace

CaptureFile::CaptureFile(CaptureFormat format, TimeStamps stamps, std::unique_ptr<CaptureSink> sink)
    : sink_(std::move(sink)), formatter_(format, stamps, *this), format_(format) {}

CaptureFile::~CaptureFile() {
    if (sink_->isOpen()) sink_->close();
}

bool CaptureFile::open(const std::string& fileName, bool append) {
    if (!sink_->open(fileName, append)) return false;
    // A power cut right after the start would otherwise lose the new name.
    // A folder that cannot be synced (some file systems refuse) fails
    // nothing, as after a rename.
    if (durable_) sink_->syncName();
    return true;
}

bool CaptureFile::expectEvents(const std::string& fileName, bool append, std::uint64_t before) {
    formatter_.expectEvents(append && format_ != CaptureFormat::Raw && endsMidLine(fileName));
    return format_ != CaptureFormat::Raw || events_.open(fileName, append, before);
}

std::size_t CaptureFile::writeEvent(std::size_t source, const std::string& what,
                                    const ClockReading& at) {
    if (format_ != CaptureFormat::Raw) return formatter_.addEvent(source, what, at);
    const std::string port = source < labels_.size() ? labels_[source] : std::string("-");
    const std::size_t written = events_.write(formatter_.bytesAdded(), at, port, what);
    if (written == 0) reportEventsFailure();
    return written;
}

void CaptureFile::reportEventsFailure() {
    if (eventsFailed_) return;
    eventsFailed_ = true;
    writeFailed_ = true;
    say("Error: Can't write the events file: " + std::to_string(events_.errorCode()) + "\n");
}

void CaptureFile::endPartIfDue(RotatingSink& rotation) {
    // What is held goes out when a period ends, and while the part waits
    // for its last line to end, so the end is seen as soon as it comes.
    if (rotation.periodEnded()) {
        formatter_.flush();
    } else if (rotation.awaitsLineEnd()) {
        formatter_.writeOutWholeLines();
    }
    rotation.rotateIfDue();
}

void CaptureFile::writeOut(const std::uint8_t* bytes, std::size_t size) {
    ++writeOuts_;
    if (!sink_->isOpen()) {
        // A file that could not be kept open loses what comes: counted and
        // reported, never passed over in silence.
        dropped_ += size;
        writeFailed_ = true;
        return;
    }
    // A look once a second is enough, and costs nothing on a fast stream.
    auto now = std::chrono::steady_clock::now();
    if (now - lastRemovalCheck_ >= std::chrono::seconds(1)) {
        lastRemovalCheck_ = now;
        noteRemoval();
    }
    // Kept bytes go first, so the file keeps the order received.
    if (kept_.size() > keptStart_ && !writeKeptBytes()) {
        keep(bytes, size);
        return;
    }
    if (kept_.size() == keptStart_) {
        SinkWrite done = sink_->write(bytes, size);
        refusedLast_ = done.error != 0;
        if (done.error != 0) reportWriteFailure(done.error);
        if (durable_ && done.written > 0) unsynced_ = true;
        bytes += done.written;
        size -= done.written;
    }
    keep(bytes, size);
    if (syncEachWriteOut_) sync();
}

void CaptureFile::sync() {
    if (!unsynced_ || !sink_->isOpen()) return;
    unsynced_ = false;
    if (!sink_->sync()) reportWriteFailure(sink_->errorCode());
}

void CaptureFile::writeKept() {
    if (sink_->isOpen() && kept_.size() > keptStart_) writeKeptBytes();
}

bool CaptureFile::writeKeptBytes() {
    SinkWrite done = sink_->write(kept_.data() + keptStart_, kept_.size() - keptStart_);
    refusedLast_ = done.error != 0;
    keptStart_ += done.written;
    if (durable_ && done.written > 0) unsynced_ = true;
    if (keptStart_ == kept_.size()) {
        kept_.clear();
        keptStart_ = 0;
    } else if (keptStart_ > kept_.size() / 2) {
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(keptStart_));
        keptStart_ = 0;
    }
    if (done.error == 0) return true;
    reportWriteFailure(done.error);
    return false;
}

void CaptureFile::keep(const std::uint8_t* bytes, std::size_t size) {
    std::size_t room = kKeptLimit - (kept_.size() - keptStart_);
    std::size_t take = size < room ? size : room;
    kept_.insert(kept_.end(), bytes, bytes + take);
    if (take == size) return;
    dropped_ += size - take;
    reportWriteFailure(lastWriteError_ != 0 ? lastWriteError_ : sink_->wouldBlockCode());
}

void CaptureFile::reportWriteFailure(int code) {
    writeFailed_ = true;
    lastWriteError_ = code;
    // A disk that stays full fails every write-out; once a second is enough.
    auto now = std::chrono::steady_clock::now();
    if (reported_ && now - lastReport_ < std::chrono::seconds(1)) return;
    reported_ = true;
    lastReport_ = now;
    say("Error: Can't write the file: " + std::to_string(code) + "\n");
}

void CaptureFile::say(const std::string& text) const {
    if (say_) {
        say_(text);
    } else {
        std::fputs(text.c_str(), stderr);
    }
}

void CaptureFile::noteRemoval() {
    if (!removed_ && sink_->isOpen() && sink_->removed()) removed_ = true;
}

bool CaptureFile::close() {
    if (events_.isOpen() && !events_.close()) reportEventsFailure();
    if (!sink_->isOpen()) {
        formatter_.flush();
        if (dropped_ > 0) {
            say("Error: " + std::to_string(dropped_) + " bytes were not written to the file\n");
        }
        return !writeFailed_ && dropped_ == 0;
    }
    formatter_.flush();
    // A reader that is behind gets the time it needs while it keeps taking
    // bytes; one that has stopped is given up on after a while.
    auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseStallMs);
    while (kept_.size() > keptStart_) {
        std::size_t before = kept_.size() - keptStart_;
        if (!writeKeptBytes()) break;
        std::size_t left = kept_.size() - keptStart_;
        if (left == 0) break;
        auto now = std::chrono::steady_clock::now();
        if (left < before) giveUpAt = now + std::chrono::milliseconds(kCloseStallMs);
        if (now >= giveUpAt) break;
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(giveUpAt - now);
        sink_->waitWritable(static_cast<int>(wait.count()) + 1);
    }
    std::size_t unwritten = kept_.size() - keptStart_;
    dropped_ += unwritten;
    kept_.clear();
    keptStart_ = 0;
    noteRemoval();
    sync();
    bool closed = sink_->close();

    if (dropped_ > 0) {
        say("Error: " + std::to_string(dropped_) + " bytes were not written to the file\n");
    }
    if (removed_) say("Error: The file was removed during the capture\n");
    if (unwritten > 0 || !closed) say("Error: Can't close the file\n");
    return closed && !writeFailed_ && dropped_ == 0 && !removed_;
}

}  // namespace serialtap

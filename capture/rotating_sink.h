#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_sink.h"

namespace serialtap {

// When the capture file is rotated, and what is kept of its old parts.
struct RotationPolicy {
    std::uint64_t limitBytes = 0;     // 0: never by size
    std::uint32_t periodSeconds = 0;  // 0: never by the clock; else at multiples from midnight UTC
    std::uint32_t keep = 0;           // rotated parts kept, the oldest removed; 0: all
    // Text and hex: a line in progress at the limit ends in the old part
    // when its end comes within kLineGraceBytes and kLineGrace.
    bool lines = false;
    bool durable = false;  // the folder is synced after each rename

    bool active() const { return limitBytes > 0 || periodSeconds > 0; }
};

// A capture file whose parts end by size or by the clock. The live file
// always has the name it was opened with; a part that ends is renamed to
// that name with the UTC moment it ended added (name.20261209T013512Z).
// Each part's name sorts after every part before it, whatever the clock
// does: when the moment's name would not, the name of the part before gets
// a counter (-0001, -0002... up to -9999, then -9999-0001...), so the parts
// in name order followed by the live file are the whole capture. A rename
// or removal that fails is reported on standard error, the same failure at
// most once a second; the capture goes on in the same file.
class RotatingSink final : public CaptureSink {
public:
    using SteadyClock = std::chrono::steady_clock;
    using WallClock = std::function<std::chrono::system_clock::time_point()>;
    using SinkFactory = std::function<std::unique_ptr<CaptureSink>()>;
    static constexpr std::uint64_t kLineGraceBytes = 4096;
    static constexpr std::chrono::seconds kLineGrace{1};

    explicit RotatingSink(
        RotationPolicy policy, SinkFactory makeSink = makePlatformCaptureSink,
        WallClock wallClock = [] { return std::chrono::system_clock::now(); });

    bool open(const std::string& fileName, bool append) override;
    bool isOpen() const override { return live_->isOpen(); }
    SinkWrite write(const std::uint8_t* bytes, std::size_t size) override;
    void waitWritable(int milliseconds) override { live_->waitWritable(milliseconds); }
    // A live file removed under the capture is replaced by a new one.
    bool removed() override;
    bool close() override { return live_->close(); }
    bool sync() override { return live_->sync(); }
    bool syncName() override { return live_->syncName(); }
    int errorCode() const override { return live_->errorCode(); }
    bool foundNoReader() const override { return live_->foundNoReader(); }
    bool readerPaced() const override { return live_->readerPaced(); }
    std::intptr_t handle() const override { return live_->handle(); }
    int wouldBlockCode() const override { return live_->wouldBlockCode(); }
    bool readerGone(int code) const override { return live_->readerGone(code); }

    // When the capture must look in again: a period's end, or the end of
    // the wait for a line's end. None while nothing is due.
    std::optional<SteadyClock::time_point> deadline() const;
    // The bytes of the parts that an earlier capture rotated out, before
    // the live file: where an appended capture's offsets go on from.
    std::uint64_t partBytes() const;
    // The clock has passed the end of the part's period: what the capture
    // still holds belongs in this part, before rotateIfDue() ends it.
    bool periodEnded() const;
    // Ends the part when it is due, with no new bytes to wait for.
    void rotateIfDue();
    // The part is due and waits for the end of its last line, which it
    // sees only once those bytes are written to it.
    bool awaitsLineEnd() const { return rotating_ && due_; }
    // Gives the bytes each new part begins with (the capture's identity
    // lines, stamped when the part begins), so that every part says where
    // it came from.
    void setPartHeader(std::function<std::string()> header) { partHeader_ = std::move(header); }
    // Where its messages go; standard error until it is told.
    void setMessageOutput(std::function<void(const std::string&)> say) { say_ = std::move(say); }

private:
    enum Message { kRename, kNextPart, kNameTaken, kRemove, kReplaced, kMessages };

    // How many of these bytes still belong to the part, once it is due.
    std::size_t bytesForThisPart(const std::uint8_t* bytes, std::size_t size) const;
    std::int64_t utcSeconds() const;
    void noteClock();
    void becomeDue();
    void rotate();
    // Makes the next live file under the part's name and swaps the two
    // names; false where that cannot be done in one step.
    bool swapInNextPart(const std::string& part);
    void partEnded(const std::string& part, std::unique_ptr<CaptureSink> fresh);
    // A live file removed, or moved away, is replaced by a new one.
    void replaceLostFile();
    // A new live file begins with the part header.
    void writeHeader();
    // Named for the moment given, after every part before it.
    std::string partName(std::int64_t seconds) const;
    // The part of a capture killed between its two renames, left under
    // the hidden name, joins the parts.
    void takeLeftPart();
    std::string hiddenName() const { return folder_ + "." + base_ + ".next"; }
    std::vector<std::string> partsOnDisk() const;
    void removeOldParts();
    void report(Message kind, const std::string& text);
    void reportRename(const std::string& part, int code, const std::string& more = "");

    RotationPolicy policy_;
    SinkFactory makeSink_;
    WallClock wallClock_;
    std::unique_ptr<CaptureSink> live_;
    bool rotating_ = false;  // a regular file; anything else is never rotated
    std::string name_;
    std::string folder_;
    std::string base_;  // the name without its folder
    std::uint64_t partBytes_ = 0;
    bool atLineEnd_ = true;
    std::int64_t periodEnd_ = 0;  // UTC seconds
    bool due_ = false;
    SteadyClock::time_point dueSince_{};
    std::uint64_t bytesSinceDue_ = 0;
    std::string lastPart_;  // the newest part's path, made or found
    std::function<std::string()> partHeader_;
    std::optional<SteadyClock::time_point> said_[kMessages];
    std::function<void(const std::string&)> say_;
};

// "20261209T013512Z" for a moment in seconds since 1970, UTC.
std::string utcStamp(std::int64_t seconds);
// The name that follows a part's name in sort order: its last four-digit
// counter plus one, or a new counter -0001 after it.
std::string followingPartName(const std::string& name);

}  // namespace serialtap

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace serialtap {

// A file descriptor on POSIX, a HANDLE on Windows.
using NativeHandle = std::intptr_t;

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
// A wait without a time limit.
constexpr std::uint32_t kWaitForever = kMaxDword;

// What a source is, so that a reader of the loop, or of a failing wait, can
// tell the entries of the set apart.
enum class SourceName : std::uint8_t { Port, Console, StopSignal, CaptureFile };

// What the wait watches a handle for.
enum class Interest : std::uint8_t { Input, Output, Both };

struct WaitSource {
    SourceName name = SourceName::Port;
    std::size_t port = 0;  // which port, for a port's entries
    NativeHandle handle = 0;
    Interest interest = Interest::Input;
    // Filled by the wait: the handle is ready; for input, also when the
    // far end hung up or the handle failed (hangUp), so that its owner
    // finds out by reading.
    bool ready = false;
    bool hangUp = false;
};

// The capture's one wait: every source of a round, each by name, and the
// moment the wait must end by. A source that must be served without a
// wait (bytes already taken in) asks for none; the round then only looks.
class WaitSet {
public:
    using Clock = std::chrono::steady_clock;

    // Empties the set for the next round, keeping its room.
    void clear() {
        sources_.clear();
        due_.reset();
        serveNow_ = false;
    }
    std::size_t add(SourceName name, std::size_t port, NativeHandle handle,
                    Interest interest = Interest::Input) {
        sources_.push_back(WaitSource{name, port, handle, interest, false, false});
        return sources_.size() - 1;
    }
    void due(std::optional<Clock::time_point> at) {
        if (at && (!due_ || *at < *due_)) due_ = at;
    }
    void serveNow() { serveNow_ = true; }
    bool servesNow() const { return serveNow_; }
    std::optional<Clock::time_point> deadline() const { return due_; }

    // Milliseconds the wait may last: none when a source is to be served
    // now, kWaitForever without a deadline; rounded up, so that the wait
    // does not end just before its deadline.
    std::uint32_t waitLimit() const {
        if (serveNow_) return 0;
        if (!due_) return kWaitForever;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*due_ - Clock::now()).count();
        constexpr std::chrono::milliseconds::rep kLongest = 0x7FFFFFFF;
        if (left < 0) return 0;
        return static_cast<std::uint32_t>(left < kLongest ? left : kLongest);
    }

    const std::vector<WaitSource>& sources() const { return sources_; }
    std::vector<WaitSource>& sources() { return sources_; }
    const WaitSource* source(std::optional<std::size_t> slot) const {
        return slot && *slot < sources_.size() ? &sources_[*slot] : nullptr;
    }
    bool ready(std::optional<std::size_t> slot) const {
        const WaitSource* found = source(slot);
        return found != nullptr && found->ready;
    }
    // Nothing was looked at: every source counts as not ready.
    void forgetReadiness() {
        for (WaitSource& entry : sources_) entry.ready = entry.hangUp = false;
    }

private:
    std::vector<WaitSource> sources_;
    std::optional<Clock::time_point> due_;
    bool serveNow_ = false;
};

// The platform's wait over the set: until a source is ready or the set's
// limit passes; marks what is ready. False, with the platform's error
// code, when the wait itself failed.
bool waitOn(WaitSet& set, int& error);
// Whether the platform's wait can watch a file for room to write.
bool waitWatchesOutput();

// Waits with the given wait (waitOn, or a test's). One that fails cannot
// tell what is ready: every source then looks for itself, after a pause
// that keeps the caller from spinning.
template <typename Wait>
void waitOrPause(WaitSet& set, Wait&& wait) {
    int error = 0;
    if (wait(set, error)) return;
    for (WaitSource& source : set.sources()) source.ready = true;
    WaitSet pause;
    pause.due(WaitSet::Clock::now() + std::chrono::milliseconds(100));
    wait(pause, error);
}

}  // namespace serialtap

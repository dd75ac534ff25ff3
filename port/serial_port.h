#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "port/port_settings.h"
#include "port/serial_device.h"

namespace serialtap {

// What one reception pass gives back.
struct Reception {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    bool keyTestDue = true;
    // A wake handle (console, stop signal) was ready when the pass ended,
    // so the console and the stop request are worth a look.
    bool woken = false;
    // The pass ended at its time limit.
    bool timedOut = false;
    // The pass failed in a way that means the port is gone (unplugged).
    bool gone = false;
};

// What one open of a SerialPort builds up while the port is used. It is
// the port's base, so that the code names these as the port's own, and
// every open assigns it afresh: a reopened port starts as the first open
// did, whatever a field is added here.
struct SerialPortOpenState {
    using Clock = std::chrono::steady_clock;

    std::uint32_t byteCount_ = 0;
    std::uint32_t eventMask_ = 0;
    // Bytes the last queue count showed beyond what the read took, which a
    // device that reports only arrivals will not report again.
    std::uint32_t left_ = 0;
    // Failed passes in a row; from the second on, passes pause first.
    int failures_ = 0;
    Clock::time_point pauseEnd_{};
    bool pausing_ = false;
    // Passes in a row that failed with the same code, for telling a port
    // that is gone from one that failed once.
    int lastFailureCode_ = 0;
    int sameFailures_ = 0;
    bool gone_ = false;
    std::string lastMessage_;
    Clock::time_point lastMessageTime_{};
    std::uint32_t lineErrors_ = 0;
    bool lineErrorReported_ = false;
    Clock::time_point lineErrorTime_{};
    // The shutdown's reading of what the driver holds, bounded once an open.
    bool draining_ = false;
    std::uint32_t drainLeft_ = 0;
    Clock::time_point drainEnd_{};
};

// The open port: the setup steps and the reception pass, written once over
// the device interface so that every platform runs the same algorithm and
// prints the same messages.
class SerialPort : private SerialPortOpenState {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::uint32_t kQueueBytes = 1024;
    static constexpr std::uint32_t kReadTotalConstantMs = 100;
    static constexpr std::uint32_t kMaxReadBytes = 255;
    static constexpr std::uint32_t kCompletionWaitMs = 500;
    static constexpr std::uint32_t kFailurePauseMs = 1000;
    // The longest the shutdown spends reading what the driver still holds.
    static constexpr std::uint32_t kDrainMs = 1000;

    SerialPort(SerialDevice& device, std::FILE* messages);

    // Runs the setup steps in order; prints the failing step's message and
    // gives false at the first failure. Quiet, it keeps the message for
    // openFailure() instead and leaves no port open behind.
    bool open(const PortSettings& settings, bool quiet = false);
    // The message of the last failed open, and whether its failure means
    // that there is no such port now (rather than one in use or refusing).
    const std::string& openFailure() const { return openFailure_; }
    bool openFoundNoPort() const { return openFoundNoPort_; }

    void setWakeHandles(const std::vector<NativeHandle>& handles);
    // For a capture of several ports, see SerialDevice.
    void setPeerHandles(const std::vector<NativeHandle>& handles) {
        device_.setPeerHandles(handles);
    }
    std::optional<NativeHandle> readyHandle() const { return device_.readyHandle(); }
    // The next pass must not wait for the neighbours: bytes are left to read.
    bool holdsInput() const { return (arrivalsOnly_ && left_ > 0) || device_.holdsInput(); }
    // A port whose passes fail is not waited on, for a hung-up port is
    // always ready; the loop comes back to it by this time.
    bool failing() const { return failures_ > 0; }
    std::optional<Clock::time_point> nextPassDue() const {
        if (failures_ == 0) return std::nullopt;
        return pausing_ ? pauseEnd_ : Clock::now();
    }
    bool setWritableWake(std::optional<NativeHandle> handle) {
        return device_.setWritableWake(handle);
    }
    // Where the messages go instead of the stream given at the start: the
    // capture's one way for them, which makes way for a status line.
    void setMessageOutput(std::function<void(const char*)> say) { say_ = std::move(say); }
    // One pass, whose waits end after at most waitLimitMs.
    Reception receive(std::uint32_t waitLimitMs = kWaitForever);
    // Waits for the wake handles alone, as while the port is away.
    WakeWait waitWake(std::uint32_t milliseconds) { return device_.waitWake(milliseconds); }
    // What the device has taken in but no pass has returned yet, a part at
    // a time; empty when nothing is left. From a device that reports only
    // arrivals this reads what its driver holds, as much as it held at the
    // first call and for at most kDrainMs.
    Reception takeBuffered();

    // Whether the port, once gone, may be opened again by its name.
    bool reopenable() const { return device_.reopenable(); }

    bool closePort();
    bool closeEvent();
    int lastError() const;

private:
    Reception pass(std::uint32_t waitLimitMs);
    bool pauseAfterFailures(std::uint32_t waitLimitMs, Reception& result);
    bool waitForEvent(std::uint32_t waitLimitMs, Reception& result);
    bool read(std::uint32_t wanted);
    bool fail(const char* format, bool closeAfter);
    bool refuse(const char* message);
    void failed(const char* format, FailedCall call, int code);
    void report(const char* format, int code);
    void say(const char* text);
    void noteLineErrors();

    SerialDevice& device_;
    std::FILE* messages_;
    const bool arrivalsOnly_;
    std::function<void(const char*)> say_;
    std::uint8_t buffer_[kMaxReadBytes] = {};
    // How the last open went.
    bool quiet_ = false;
    std::string openFailure_;
    bool openFoundNoPort_ = false;
};

}  // namespace serialtap

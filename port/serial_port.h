#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
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

// The open port: the setup steps and the reception pass, written once over
// the device interface so that every platform runs the same algorithm and
// prints the same messages.
class SerialPort {
public:
    static constexpr std::uint32_t kQueueBytes = 1024;
    static constexpr std::uint32_t kReadTotalConstantMs = 100;
    static constexpr std::uint32_t kMaxReadBytes = 255;
    static constexpr std::uint32_t kCompletionWaitMs = 500;
    static constexpr std::uint32_t kFailurePauseMs = 1000;

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
    // One pass, whose waits end after at most waitLimitMs.
    Reception receive(std::uint32_t waitLimitMs = kWaitForever);
    // Waits for the wake handles alone, as while the port is away.
    WakeWait waitWake(std::uint32_t milliseconds) { return device_.waitWake(milliseconds); }
    // What the device has taken in but no pass has returned yet, a part at
    // a time; empty when nothing is left.
    Reception takeBuffered();

    bool closePort();
    bool closeEvent();
    int lastError() const;

private:
    Reception pass(std::uint32_t waitLimitMs);
    bool fail(const char* format, bool closeAfter);
    Reception endWithMessage(const char* format, FailedCall call, int code, Reception result);
    void report(const char* format, int code);
    bool failureMeansGone(FailedCall call, int code);
    void pauseAfterFailure();

    SerialDevice& device_;
    std::FILE* messages_;
    std::uint8_t buffer_[kMaxReadBytes] = {};
    std::uint32_t byteCount_ = 0;
    std::uint32_t eventMask_ = 0;
    bool failing_ = false;
    std::chrono::steady_clock::time_point pauseEnd_{};
    int lastFailureCode_ = 0;
    int failuresInARow_ = 0;
    bool quiet_ = false;
    std::string openFailure_;
    bool openFoundNoPort_ = false;
    std::string lastMessage_;
    std::chrono::steady_clock::time_point lastMessageTime_{};
};

}  // namespace serialtap

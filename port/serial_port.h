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
#include "port/wait_set.h"

namespace serialtap {

// What one reception pass gives back.
struct Reception {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    bool keyTestDue = true;
    // The pass failed in a way that means the port is gone (unplugged).
    bool gone = false;
    // What the line did besides sending these bytes, placed among them; a
    // port that does not watch its line gives none.
    const LineMark* marks = nullptr;
    std::size_t markCount = 0;
};

// How far a setup that goes on across rounds of the capture's wait got.
enum class OpenProgress { Done, Failed, Pending };

// What one open of a SerialPort builds up while the port is used; every
// open starts from a fresh one, whatever a field is added here.
struct SerialPortOpenState {
    using Clock = std::chrono::steady_clock;

    std::uint32_t byteCount = 0;
    std::uint32_t eventMask = 0;
    // Bytes the last queue count showed beyond what the read took, which a
    // device that reports only arrivals will not report again.
    std::uint32_t left = 0;
    // Failed passes in a row; from the second on, passes pause first.
    int failures = 0;
    Clock::time_point pauseEnd{};
    bool pausing = false;
    // Passes in a row that failed with the same code, for telling a port
    // that is gone from one that failed once.
    int lastFailureCode = 0;
    int sameFailures = 0;
    bool gone = false;
    std::string lastMessage;
    Clock::time_point lastMessageTime{};
    std::uint32_t lineErrors = 0;
    bool lineErrorReported = false;
    Clock::time_point lineErrorTime{};
    // The shutdown's reading of what the driver holds, bounded once an open.
    bool draining = false;
    std::uint32_t drainLeft = 0;
    Clock::time_point drainEnd{};
};

// The open port: the setup steps and the reception pass, written once over
// the device interface so that every platform runs the same algorithm and
// prints the same messages. Nothing here waits but the bounded completion
// of a read: the capture's one wait is the loop's, and the port adds its
// sources to it.
class SerialPort {
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

    // Runs the setup steps in order to the end, waiting where a step waits
    // (a network port connecting) on the device and on the interrupt's
    // handles; prints the failing step's message and gives false at the
    // first failure. Quiet, it keeps the message for openFailure() instead
    // and leaves no port open behind.
    bool open(const PortSettings& settings, bool quiet = false);
    // The same steps a part at a time, for a reopen that must not hold the
    // capture: begin, then go on each time the sources the port adds are
    // ready or their deadline passed.
    OpenProgress beginOpen(const PortSettings& settings, bool quiet);
    OpenProgress continueOpen();
    // What ends a setup that open() waits for: these handles' readiness,
    // when stopNow then says so. The setup then ends quietly.
    void setOpenInterrupt(const std::vector<NativeHandle>& handles,
                          const std::function<bool()>& stopNow) {
        interruptHandles_ = handles;
        stopNow_ = stopNow;
    }
    // The message of the last failed open, and whether its failure means
    // that there is no such port now (rather than one in use or refusing).
    const std::string& openFailure() const { return openFailure_; }
    bool openFoundNoPort() const { return openFoundNoPort_; }

    // What the port waits on in the capture's one wait: the device's
    // sources, none while a failing port pauses (a hung-up port is always
    // ready) but the pause's end; a port with bytes in hand is served now.
    void addSources(WaitSet& set, std::size_t port);
    void sourcesFound(const WaitSet& set) { device_.sourcesFound(set); }
    // Whether the port has bytes in hand, to be read without a wait.
    bool holdsBytes() const {
        return open_.failures == 0 && ((arrivalsOnly_ && open_.left > 0) || device_.holdsBytes());
    }
    // Where the messages go instead of the stream given at the start: the
    // capture's one way for them, which makes way for a status line.
    void setMessageOutput(std::function<void(const char*)> say) { say_ = std::move(say); }
    // One pass: what the last wait found, read without waiting.
    Reception receive();
    // What the device has taken in but no pass has returned yet, a part at
    // a time; empty when nothing is left. From a device that reports only
    // arrivals this reads what its driver holds, as much as it held at the
    // first call and for at most kDrainMs.
    Reception takeBuffered();
    // See SerialDevice.
    std::optional<std::uint32_t> modemLines() { return device_.modemLines(); }
    DropCount dropped() { return device_.dropped(); }

    // Whether the port, once gone, may be opened again by its name.
    bool reopenable() const { return device_.reopenable(); }

    bool closePort();
    bool closeEvent();
    int lastError() const;

private:
    OpenProgress step();
    Reception pass();
    // Whether a port that keeps failing has paused long enough.
    bool pauseOver();
    bool waitForEvent(Reception& result);
    bool read(std::uint32_t wanted);
    OpenProgress fail(const char* format, bool closeAfter);
    OpenProgress refuse(const char* message);
    void failed(const char* format, FailedCall call, int code);
    void report(const char* format, int code);
    void say(const char* text);
    void noteLineErrors();
    // Gives the pass the marks the device found since the last one.
    void takeMarks(Reception& result);
    Reception takeBufferedBytes();

    SerialDevice& device_;
    std::FILE* messages_;
    const bool arrivalsOnly_;
    std::function<void(const char*)> say_;
    std::uint8_t buffer_[kMaxReadBytes] = {};
    std::vector<LineMark> marks_;
    SerialPortOpenState open_;
    // The setup under way: the settings, the next step and what the steps
    // before it found.
    PortSettings settings_;
    int step_ = 0;
    LineSettings line_;
    Timeouts timeouts_;
    std::vector<NativeHandle> interruptHandles_;
    std::function<bool()> stopNow_;
    // How the last open went.
    bool quiet_ = false;
    std::string openFailure_;
    bool openFoundNoPort_ = false;
};

}  // namespace serialtap

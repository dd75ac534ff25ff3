#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "port/comm_marks.h"
#include "port/serial_device.h"

namespace serialtap::testing {

// What the fakes put in the capture's wait for the port.
constexpr NativeHandle kFakeHandle = 100;

// What one open of the fake builds up, made afresh by every open as a
// real device's is; the script goes on across opens.
struct FakeOpenState {
    std::uint8_t* readBuffer_ = nullptr;
    std::uint32_t readSize_ = 0;
    std::vector<std::uint8_t> pendingBytes_;
};

// A device whose every answer is scripted: setup steps can be made to fail
// with a chosen code, and each reception call takes its answer from a queue.
// Every call is recorded by name, in order.
class FakeSerialDevice : public SerialDevice, private FakeOpenState {
public:
    struct Wait {
        EventWait result = EventWait::Event;
        std::uint32_t mask = kEventRxChar;
        int error = 0;
        bool wakeReady = false;
    };
    struct Read {
        ReadStart result = ReadStart::Completed;
        std::vector<std::uint8_t> bytes;
        int error = 0;
    };
    struct Completion {
        CompletionWait result = CompletionWait::Signalled;
        int error = 0;
        bool resultOk = true;
        int resultError = 0;
        // Bytes a cancelled read had delivered before it ended.
        std::vector<std::uint8_t> deliveredBeforeCancel;
    };

    // Makes the named call fail with the code: "open", "setupQueues",
    // "getLineSettings", "setLineSettings", "getTimeouts", "setTimeouts",
    // "setEventMask", "purge", "createEvent", "clearErrors", "closePort",
    // "closeEvent".
    void failCall(const std::string& name, int code) { failures_[name] = code; }
    void succeedCall(const std::string& name) { failures_.erase(name); }

    // A pass that finds this many bytes queued and reads them.
    void queueBytes(const std::vector<std::uint8_t>& bytes, bool wakeReady = false);

    std::deque<Wait> waits;
    std::deque<std::uint32_t> queueCounts;
    std::deque<Read> reads;
    std::deque<Completion> completions;
    // What the capture's waits find while the port is away (true: the
    // console and the stop signal are ready); none left: nothing.
    std::deque<bool> wakeWaits;
    // Bytes taken in from the port that no read has returned yet.
    std::vector<std::uint8_t> buffered;
    // Called when an event wait finds the script empty; the wait before
    // it found the console and the stop signal ready.
    std::function<void()> onScriptEnd;

    LineSettings reportedLine{9600, 8, 0, 0};
    Timeouts reportedTimeouts{1, 2, 3, 4, 5};
    LineSettings lineSet{};
    Timeouts timeoutsSet{};
    std::uint32_t maskSet = 0;
    std::uint32_t purgeFlags = 0;
    std::vector<NativeHandle> wakeHandles;
    std::vector<std::string> calls;
    // The error code a call leaves behind when it succeeds; the port must
    // read the failing call's code before it makes another call.
    int errorAfterSuccess = 0;

    bool open(const std::string& portName) override;
    bool setupQueues(std::uint32_t inputBytes, std::uint32_t outputBytes) override;
    bool getLineSettings(LineSettings& settings) override;
    bool setLineSettings(const LineSettings& settings) override;
    bool getTimeouts(Timeouts& timeouts) override;
    bool setTimeouts(const Timeouts& timeouts) override;
    bool setEventMask(std::uint32_t mask) override;
    bool purge(std::uint32_t flags) override;
    bool createEvent() override;
    void addSources(WaitSet& set, std::size_t port) override;
    EventWait waitEvent(std::uint32_t& eventMask) override;
    // The capture's wait over this device: the port, whose script always
    // has its next answer, is ready; the console and the stop signal are
    // when the next scripted wait says so (or, while the port is away,
    // the next of wakeWaits). The handles of the console and the stop
    // signal are kept in wakeHandles; a wait without the port is recorded
    // as "wait <limit>".
    bool wait(WaitSet& set, int& error);
    bool clearErrors(std::uint32_t& queuedBytes) override;
    ReadStart startRead(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& count) override;
    CompletionWait waitRead(std::uint32_t milliseconds) override;
    bool readResult(std::uint32_t& count) override;
    std::uint32_t cancelRead() override;
    std::uint32_t takeBuffered(std::uint8_t* buffer, std::uint32_t size) override;
    bool closePort() override;
    bool closeEvent() override;
    void watchLine(bool on) override { watching = on; }
    void takeMarks(std::vector<LineMark>& marks) override;
    std::optional<std::uint32_t> modemLines() override { return lines; }
    DropCount dropped() override { return drops; }
    bool watching = false;
    // What the line did, for each read in turn, placed among its bytes.
    std::deque<std::vector<LineMark>> readMarks;
    // What each look at the shutdown finds once no byte is left to take,
    // as a driver whose counts keep moving would.
    std::vector<LineMark> lastMarks;
    std::optional<std::uint32_t> lines;
    DropCount drops;
    int lastError() const override { return error_; }
    bool isGone(FailedCall, int code, int) const override { return goneCodes.count(code) > 0; }
    // Failure codes that mean the port is gone.
    std::set<int> goneCodes;
    bool reopenable() const override { return comesBack; }
    bool comesBack = true;

private:
    bool call(const std::string& record, const std::string& name);
    std::uint32_t deliver(const std::vector<std::uint8_t>& bytes);

    // Marks of the reads since the last takeMarks, and the bytes they returned.
    std::vector<LineMark> marks_;
    std::size_t returned_ = 0;

    std::map<std::string, int> failures_;
    int error_ = 0;
};

// A device that behaves as the Win32 device does over a real Windows serial
// driver, whose ways Wine does not show: the received-character event fires
// when bytes arrive, not while they stay queued; a line error with
// abort-on-error set fails every request until the errors are cleared; and
// after the adapter is pulled out no wait or read completes again. Its line
// errors and modem lines become marks as the Win32 device makes them. Time
// passes in steps: each time the event wait would block, the next step of
// the script runs.
// What one handle of the driver model holds; the queue and the line's
// errors are the driver's and outlive it.
struct DriverHandleState {
    bool arrived_ = false;
    bool held_ = false;
    int heldWaits_ = 0;
    std::uint32_t clearedErrors_ = 0;
    std::uint32_t mask_ = 0;
    // Line events raised and not yet reported by a wait.
    std::uint32_t lineEvents_ = 0;
    CommMarks marks_;
};

class DriverModelDevice : public SerialDevice, private DriverHandleState {
public:
    static constexpr int kAborted = 995;
    static constexpr int kWaitTimeout = 258;
    static constexpr std::uint32_t kFramingError = 0x0008;

    // One transfer: the bytes join the input queue together and raise one
    // received-character event, as a USB adapter hands them over.
    void arrive(const std::vector<std::uint8_t>& bytes);
    // Errors as the driver's error word has them; those that raise an
    // event do so when the event mask asks for it.
    void lineError(std::uint32_t errors);
    // The modem lines now (kLine* bits), each change raising its event.
    void changeLines(std::uint32_t lines);
    // From now on no event wait completes and reads stay pending.
    void remove() { removed_ = true; }

    bool abortOnError = false;
    // The code ClearCommError fails with; 0 when it succeeds.
    int clearFailure = 0;
    int pauses = 0;
    std::deque<std::function<void()>> steps;
    // Run when the script is over; the wait then finds the console and
    // the stop signal ready.
    std::function<void()> onScriptEnd;
    // Whether a wake handle (console, stop signal) is ready.
    std::function<bool()> wakeReadyNow = [] { return false; };
    std::size_t queued() const { return queue_.size(); }
    std::uint32_t maskSet = 0;
    // How often the modem status was asked for.
    int statusReads = 0;

    // A new handle, and the purge of its setup empties the driver's queue.
    bool open(const std::string&) override {
        static_cast<DriverHandleState&>(*this) = DriverHandleState{};
        marks_.reset(watching_);
        return true;
    }
    bool setupQueues(std::uint32_t, std::uint32_t) override { return true; }
    bool getLineSettings(LineSettings& settings) override;
    bool setLineSettings(const LineSettings&) override { return true; }
    bool getTimeouts(Timeouts&) override { return true; }
    bool setTimeouts(const Timeouts&) override { return true; }
    bool setEventMask(std::uint32_t mask) override {
        mask_ = maskSet = mask;
        return true;
    }
    bool purge(std::uint32_t) override {
        queue_.clear();
        errors_ = 0;
        return true;
    }
    bool createEvent() override;
    void addSources(WaitSet& set, std::size_t port) override;
    EventWait waitEvent(std::uint32_t& eventMask) override;
    // The capture's wait: where it would block, the next step runs; the
    // console and the stop signal are ready when wakeReadyNow says so.
    bool wait(WaitSet& set, int& error);
    bool clearErrors(std::uint32_t& queuedBytes) override;
    std::uint32_t lineErrors() const override { return clearedErrors_; }
    void watchLine(bool on) override { watching_ = on; }
    void takeMarks(std::vector<LineMark>& marks) override { marks_.take(marks); }
    std::optional<std::uint32_t> modemLines() override { return marks_.lines(); }
    DropCount dropped() override { return marks_.dropped(); }
    bool reportsArrivalsOnly() const override { return true; }
    ReadStart startRead(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& count) override;
    // A read on a removed device is never signalled: the wait lasts its
    // whole time, really, so that tests can see how long a stop takes.
    CompletionWait waitRead(std::uint32_t milliseconds) override;
    bool readResult(std::uint32_t& count) override;
    std::uint32_t cancelRead() override { return 0; }
    bool closePort() override { return true; }
    bool closeEvent() override { return true; }
    int lastError() const override { return error_; }

private:
    bool runStep();
    std::uint32_t modemStatus() {
        ++statusReads;
        return lines_;
    }

    std::deque<std::uint8_t> queue_;
    bool watching_ = false;
    std::uint32_t lines_ = 0;
    bool removed_ = false;
    std::uint32_t errors_ = 0;
    int error_ = 0;
};

}  // namespace serialtap::testing

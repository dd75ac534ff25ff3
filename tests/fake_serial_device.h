#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "port/serial_device.h"

namespace serialtap::testing {

// A device whose every answer is scripted: setup steps can be made to fail
// with a chosen code, and each reception call takes its answer from a queue.
// Every call is recorded by name, in order.
class FakeSerialDevice : public SerialDevice {
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
    std::deque<WakeWait> wakeWaits;
    // Bytes taken in from the port that no read has returned yet.
    std::vector<std::uint8_t> buffered;
    // Called when an event wait finds the script empty; the wait then
    // reports a wake-up.
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
    void setWakeHandles(const std::vector<NativeHandle>& handles) override;
    EventWait waitEvent(std::uint32_t& eventMask, std::uint32_t milliseconds) override;
    bool wakeReady() const override { return wakeReady_; }
    WakeWait waitWake(std::uint32_t milliseconds) override;
    bool clearErrors(std::uint32_t& queuedBytes) override;
    ReadStart startRead(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& count) override;
    CompletionWait waitRead(std::uint32_t milliseconds) override;
    bool readResult(std::uint32_t& count) override;
    std::uint32_t cancelRead() override;
    std::uint32_t takeBuffered(std::uint8_t* buffer, std::uint32_t size) override;
    bool closePort() override;
    bool closeEvent() override;
    int lastError() const override { return error_; }
    bool isGone(FailedCall, int code, int) const override { return goneCodes.count(code) > 0; }
    // Failure codes that mean the port is gone.
    std::set<int> goneCodes;

private:
    bool call(const std::string& record, const std::string& name);
    std::uint32_t deliver(const std::vector<std::uint8_t>& bytes);

    std::map<std::string, int> failures_;
    int error_ = 0;
    bool wakeReady_ = false;
    std::uint8_t* readBuffer_ = nullptr;
    std::uint32_t readSize_ = 0;
    std::vector<std::uint8_t> pendingBytes_;
};

}  // namespace serialtap::testing

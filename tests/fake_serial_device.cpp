#include "tests/fake_serial_device.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace serialtap::testing {

void FakeSerialDevice::queueBytes(const std::vector<std::uint8_t>& bytes, bool wakeReady) {
    waits.push_back({EventWait::Event, kEventRxChar, 0, wakeReady});
    queueCounts.push_back(static_cast<std::uint32_t>(bytes.size()));
    if (!bytes.empty()) reads.push_back({ReadStart::Completed, bytes, 0});
}

bool FakeSerialDevice::call(const std::string& record, const std::string& name) {
    calls.push_back(record);
    auto failure = failures_.find(name);
    if (failure != failures_.end()) {
        error_ = failure->second;
        return false;
    }
    error_ = errorAfterSuccess;
    return true;
}

bool FakeSerialDevice::open(const std::string& portName) {
    static_cast<FakeOpenState&>(*this) = FakeOpenState{};
    return call("open " + portName, "open");
}

bool FakeSerialDevice::setupQueues(std::uint32_t inputBytes, std::uint32_t outputBytes) {
    return call("setupQueues " + std::to_string(inputBytes) + " " + std::to_string(outputBytes),
                "setupQueues");
}

bool FakeSerialDevice::getLineSettings(LineSettings& settings) {
    settings = reportedLine;
    return call("getLineSettings", "getLineSettings");
}

bool FakeSerialDevice::setLineSettings(const LineSettings& settings) {
    lineSet = settings;
    return call("setLineSettings", "setLineSettings");
}

bool FakeSerialDevice::getTimeouts(Timeouts& timeouts) {
    timeouts = reportedTimeouts;
    return call("getTimeouts", "getTimeouts");
}

bool FakeSerialDevice::setTimeouts(const Timeouts& timeouts) {
    timeoutsSet = timeouts;
    return call("setTimeouts", "setTimeouts");
}

bool FakeSerialDevice::setEventMask(std::uint32_t mask) {
    maskSet = mask;
    return call("setEventMask", "setEventMask");
}

bool FakeSerialDevice::purge(std::uint32_t flags) {
    purgeFlags = flags;
    return call("purge", "purge");
}

bool FakeSerialDevice::createEvent() { return call("createEvent", "createEvent"); }

void FakeSerialDevice::addSources(WaitSet& set, std::size_t port) {
    set.add(SourceName::Port, port, kFakeHandle);
}

EventWait FakeSerialDevice::waitEvent(std::uint32_t& eventMask) {
    calls.emplace_back("waitEvent");
    if (waits.empty()) {
        if (onScriptEnd) onScriptEnd();
        return EventWait::Nothing;
    }
    Wait wait = waits.front();
    waits.pop_front();
    error_ = wait.error;
    if (wait.result == EventWait::Event) eventMask = wait.mask;
    return wait.result;
}

bool FakeSerialDevice::wait(WaitSet& set, int&) {
    bool portWaits = false;
    for (WaitSource& source : set.sources()) {
        if (source.name != SourceName::Port) continue;
        source.ready = true;
        portWaits = true;
    }
    bool woken = waits.empty() || waits.front().wakeReady;
    if (!portWaits) {
        calls.push_back("wait " + std::to_string(set.waitLimit()));
        woken = !wakeWaits.empty() && wakeWaits.front();
        if (!wakeWaits.empty()) wakeWaits.pop_front();
    }
    wakeHandles.clear();
    for (WaitSource& source : set.sources()) {
        if (source.name != SourceName::Console && source.name != SourceName::StopSignal) continue;
        wakeHandles.push_back(source.handle);
        source.ready = woken;
    }
    return true;
}

bool FakeSerialDevice::clearErrors(std::uint32_t& queuedBytes) {
    if (!call("clearErrors", "clearErrors")) return false;
    queuedBytes = 0;
    if (!queueCounts.empty()) {
        queuedBytes = queueCounts.front();
        queueCounts.pop_front();
    }
    return true;
}

std::uint32_t FakeSerialDevice::deliver(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t count = std::min(static_cast<std::uint32_t>(bytes.size()), readSize_);
    std::copy(bytes.begin(), bytes.begin() + count, readBuffer_);
    returned_ += count;
    return count;
}

ReadStart FakeSerialDevice::startRead(std::uint8_t* buffer, std::uint32_t size,
                                      std::uint32_t& count) {
    calls.push_back("read " + std::to_string(size));
    readBuffer_ = buffer;
    readSize_ = size;
    if (reads.empty()) {
        count = 0;
        return ReadStart::Completed;
    }
    Read read = reads.front();
    reads.pop_front();
    error_ = read.error;
    if (!readMarks.empty()) {
        for (LineMark mark : readMarks.front()) {
            mark.at += returned_;
            marks_.push_back(mark);
        }
        readMarks.pop_front();
    }
    if (read.result == ReadStart::Completed) count = deliver(read.bytes);
    if (read.result == ReadStart::Pending) pendingBytes_ = read.bytes;
    return read.result;
}

CompletionWait FakeSerialDevice::waitRead(std::uint32_t milliseconds) {
    calls.push_back("waitRead " + std::to_string(milliseconds));
    if (completions.empty()) return CompletionWait::Signalled;
    const Completion& completion = completions.front();
    error_ = completion.error;
    return completion.result;
}

bool FakeSerialDevice::readResult(std::uint32_t& count) {
    calls.emplace_back("readResult");
    Completion completion = completions.empty() ? Completion{} : completions.front();
    if (!completions.empty()) completions.pop_front();
    if (!completion.resultOk) {
        error_ = completion.resultError;
        return false;
    }
    count = deliver(pendingBytes_);
    return true;
}

std::uint32_t FakeSerialDevice::cancelRead() {
    calls.emplace_back("cancelRead");
    Completion completion = completions.empty() ? Completion{} : completions.front();
    if (!completions.empty()) completions.pop_front();
    return deliver(completion.deliveredBeforeCancel);
}

std::uint32_t FakeSerialDevice::takeBuffered(std::uint8_t* buffer, std::uint32_t size) {
    auto count = static_cast<std::uint32_t>(std::min<std::size_t>(size, buffered.size()));
    std::copy(buffered.begin(), buffered.begin() + count, buffer);
    buffered.erase(buffered.begin(), buffered.begin() + count);
    if (count == 0) {
        for (LineMark mark : lastMarks) {
            mark.at = returned_;
            marks_.push_back(mark);
        }
    }
    return count;
}

void FakeSerialDevice::takeMarks(std::vector<LineMark>& marks) {
    marks.insert(marks.end(), marks_.begin(), marks_.end());
    marks_.clear();
    returned_ = 0;
}

bool FakeSerialDevice::closePort() { return call("closePort", "closePort"); }

bool FakeSerialDevice::closeEvent() { return call("closeEvent", "closeEvent"); }

void DriverModelDevice::arrive(const std::vector<std::uint8_t>& bytes) {
    if (removed_) return;
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    arrived_ = true;
}

void DriverModelDevice::lineError(std::uint32_t errors) {
    errors_ |= errors;
    if (abortOnError) held_ = true;
    // An overflow of the input queue raises no event of its own.
    std::uint32_t events = (errors & kErrorBreak) != 0 ? kEventBreak : 0;
    if ((errors & (kErrorFrame | kErrorParity | kErrorOverrun)) != 0) events |= kEventErr;
    lineEvents_ |= events & mask_;
}

void DriverModelDevice::changeLines(std::uint32_t lines) {
    std::uint32_t changed = lines ^ lines_;
    lines_ = lines;
    std::uint32_t events = 0;
    if ((changed & kLineCts) != 0) events |= kEventCts;
    if ((changed & kLineDsr) != 0) events |= kEventDsr;
    if ((changed & kLineDcd) != 0) events |= kEventRlsd;
    if ((changed & kLineRing) != 0) events |= kEventRing;
    lineEvents_ |= events & mask_;
}

// As the Win32 device does for a watched line: the setup's errors are not
// the capture's, and the lines now are what changes are told against.
bool DriverModelDevice::createEvent() {
    if (!watching_) return true;
    errors_ = 0;
    marks_.startLines(modemStatus());
    return true;
}

bool DriverModelDevice::runStep() {
    if (steps.empty()) {
        if (onScriptEnd) onScriptEnd();
        return false;
    }
    std::function<void()> step = steps.front();
    steps.pop_front();
    step();
    return true;
}

bool DriverModelDevice::getLineSettings(LineSettings& settings) {
    settings = LineSettings{9600, 8, 0, 0};
    return true;
}

void DriverModelDevice::addSources(WaitSet& set, std::size_t port) {
    set.add(SourceName::Port, port, kFakeHandle);
}

EventWait DriverModelDevice::waitEvent(std::uint32_t& eventMask) {
    if (held_) {
        // The driver refuses at once; the line goes on meanwhile.
        if (heldWaits_++ > 0) runStep();
        error_ = kAborted;
        return EventWait::Failed;
    }
    // An event raised before the adapter went is still reported.
    if (arrived_ || lineEvents_ != 0) {
        eventMask = (arrived_ ? kEventRxChar : 0) | lineEvents_;
        arrived_ = false;
        lineEvents_ = 0;
        if (marks_.asksModemStatus(eventMask)) marks_.noteModemLines(modemStatus());
        return EventWait::Event;
    }
    return EventWait::Nothing;
}

bool DriverModelDevice::wait(WaitSet& set, int&) {
    bool portWaits = false;
    for (const WaitSource& source : set.sources()) portWaits |= source.name == SourceName::Port;
    bool woken = wakeReadyNow();
    if (!portWaits) {
        // A failing port's pause: real time passes, as the pause is the port's.
        ++pauses;
        if (set.deadline() && !woken) std::this_thread::sleep_until(*set.deadline());
    } else if (!woken && !set.servesNow() && !arrived_ && lineEvents_ == 0 && !held_) {
        // The script's time passes only where the wait would block.
        if (!runStep()) woken = true;
        woken = woken || wakeReadyNow();
    }
    for (WaitSource& source : set.sources()) {
        if (source.name == SourceName::Port) source.ready = arrived_ || lineEvents_ != 0 || held_;
        if (source.name == SourceName::Console || source.name == SourceName::StopSignal) {
            source.ready = woken;
        }
    }
    return true;
}

bool DriverModelDevice::clearErrors(std::uint32_t& queuedBytes) {
    if (clearFailure != 0) {
        error_ = clearFailure;
        return false;
    }
    held_ = false;
    heldWaits_ = 0;
    clearedErrors_ = errors_;
    marks_.noteErrors(errors_);
    errors_ = 0;
    queuedBytes = static_cast<std::uint32_t>(queue_.size());
    return true;
}

ReadStart DriverModelDevice::startRead(std::uint8_t* buffer, std::uint32_t size,
                                       std::uint32_t& count) {
    if (held_) {
        error_ = kAborted;
        return ReadStart::Failed;
    }
    if (removed_) {
        error_ = kErrorIoPending;
        return ReadStart::Pending;
    }
    // With the read time-outs the port is set to, a read returns at once
    // with what is queued.
    count = static_cast<std::uint32_t>(std::min<std::size_t>(size, queue_.size()));
    std::copy_n(queue_.begin(), count, buffer);
    queue_.erase(queue_.begin(), queue_.begin() + count);
    marks_.advance(count);
    return ReadStart::Completed;
}

CompletionWait DriverModelDevice::waitRead(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    error_ = kWaitTimeout;
    return CompletionWait::TimedOut;
}

bool DriverModelDevice::readResult(std::uint32_t& count) {
    count = 0;
    return true;
}

}  // namespace serialtap::testing

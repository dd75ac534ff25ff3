#include "port/serial_port.h"

#include <algorithm>
#include <cstdio>

namespace serialtap {

SerialPort::SerialPort(SerialDevice& device, std::FILE* messages)
    : device_(device), messages_(messages), arrivalsOnly_(device.reportsArrivalsOnly()) {}

OpenProgress SerialPort::fail(const char* format, bool closeAfter) {
    // The code is read before the close, which may change it.
    int code = device_.lastError();
    if (closeAfter) device_.closePort();
    char text[96];
    std::snprintf(text, sizeof text, format, code);
    openFoundNoPort_ = device_.isGone(FailedCall::Open, code, 1);
    return refuse(text);
}

OpenProgress SerialPort::refuse(const char* message) {
    step_ = 0;
    openFailure_ = message;
    if (!quiet_) say(message);
    return OpenProgress::Failed;
}

void SerialPort::say(const char* text) {
    if (say_) {
        say_(text);
    } else {
        std::fputs(text, messages_);
    }
}

bool SerialPort::open(const PortSettings& settings, bool quiet) {
    OpenProgress progress = beginOpen(settings, quiet);
    while (progress == OpenProgress::Pending) {
        WaitSet set;
        addSources(set, 0);
        std::vector<std::size_t> interrupts;
        for (NativeHandle handle : interruptHandles_) {
            interrupts.push_back(set.add(SourceName::Console, 0, handle));
        }
        waitOrPause(set, waitOn);
        sourcesFound(set);
        bool woken = false;
        for (std::size_t slot : interrupts) woken = woken || set.ready(slot);
        // The user asked to stop; there is nothing to report.
        if (woken && stopNow_ && stopNow_()) {
            device_.closePort();
            step_ = 0;
            openFailure_.clear();
            return false;
        }
        progress = continueOpen();
    }
    return progress == OpenProgress::Done;
}

OpenProgress SerialPort::beginOpen(const PortSettings& settings, bool quiet) {
    // Nothing of an earlier open, a lost port's included, carries over.
    open_ = SerialPortOpenState{};
    settings_ = settings;
    step_ = 0;
    quiet_ = quiet;
    openFoundNoPort_ = false;
    return step();
}

OpenProgress SerialPort::continueOpen() {
    if (step_ == 0) return OpenProgress::Failed;
    return step();
}

// A step the device has not finished is made again once its sources are
// ready; the steps before it are not.
OpenProgress SerialPort::step() {
    if (step_ == 0) step_ = 1;
    if (step_ == 1) {
        device_.watchLine(settings_.watchLine);
        if (!device_.open(settings_.portName)) {
            if (device_.pending()) return OpenProgress::Pending;
            std::string told = device_.refusalMessage();
            if (!told.empty()) return refuse(told.c_str());
            switch (device_.refusal()) {
                case PortRefusal::OwnTerminal:
                    return refuse(
                        "could not open serial port: it is the terminal serialtap runs in\n");
                case PortRefusal::CaptureFile:
                    return refuse("could not open serial port: it is the capture file\n");
                case PortRefusal::None:
                    break;
            }
            return fail("could not open serial port: %d\n", false);
        }
        if (!device_.setupQueues(kQueueBytes, kQueueBytes)) {
            return fail("error setting up comm: %d\n", true);
        }
        if (!device_.getLineSettings(line_)) return fail("error getting comm: %d\n", true);
        line_.baudRate = settings_.baudRate;
        line_.byteSize = settings_.byteSize;
        line_.parity = settings_.parity;
        line_.stopBits = settings_.stopBits;
        step_ = 2;
    }
    if (step_ == 2) {
        if (!device_.setLineSettings(line_)) {
            if (device_.pending()) return OpenProgress::Pending;
            return fail("error setting comm: %d\n", true);
        }
        if (!device_.getTimeouts(timeouts_)) return fail("error getting comm timeouts: %d\n", true);
        // Reads return at once with what is queued, or with the first byte to arrive.
        timeouts_.readInterval = kMaxDword;
        timeouts_.readTotalMultiplier = kMaxDword;
        timeouts_.readTotalConstant = kReadTotalConstantMs;
        if (!device_.setTimeouts(timeouts_)) return fail("error setting comm timeouts: %d\n", true);
        std::uint32_t mask = kEventRxChar | (settings_.watchLine ? kLineEventMask : 0);
        if (!device_.setEventMask(mask)) {
            return fail("could not set a Mask for serial port: %d\n", true);
        }
        step_ = 3;
    }
    if (!device_.purge(kPurgeAll)) {
        if (device_.pending()) return OpenProgress::Pending;
        return fail("error purge comm: %d\n", true);
    }
    // Quiet opens, while a port is away, leave nothing open behind.
    if (!device_.createEvent()) return fail("could not set event: %d\n", quiet_);
    step_ = 0;
    // Said even by a quiet open: the notice is about the data from now on.
    std::string notice = device_.takeNotice();
    if (!notice.empty()) say(notice.c_str());
    return OpenProgress::Done;
}

bool SerialPort::pauseOver() {
    if (!open_.pausing) return true;
    if (Clock::now() < open_.pauseEnd) return false;
    open_.pausing = false;
    return true;
}

void SerialPort::addSources(WaitSet& set, std::size_t port) {
    if (step_ != 0) {
        device_.addSources(set, port);
        return;
    }
    // A port that keeps failing is given a pause, so it costs no CPU; a
    // single failure is not, since a second without reading would overflow
    // the driver's queue of a fast line.
    if (!pauseOver()) {
        set.due(open_.pauseEnd);
        return;
    }
    // Bytes left queued are read without a wait when the device would not
    // report them again.
    if (arrivalsOnly_ && open_.left > 0) set.serveNow();
    device_.addSources(set, port);
}

void SerialPort::report(const char* format, int code) {
    char text[96];
    std::snprintf(text, sizeof text, format, code);
    // A port that keeps failing repeats the same message; once a second is enough.
    auto now = Clock::now();
    if (text == open_.lastMessage && now - open_.lastMessageTime < std::chrono::seconds(1)) return;
    open_.lastMessage = text;
    open_.lastMessageTime = now;
    say(text);
}

void SerialPort::failed(const char* format, FailedCall call, int code) {
    report(format, code);
    // From the second failure in a row the port pauses before its next pass.
    if (++open_.failures >= 2) {
        open_.pausing = true;
        open_.pauseEnd = Clock::now() + std::chrono::milliseconds(kFailurePauseMs);
    }
    open_.sameFailures = code == open_.lastFailureCode ? open_.sameFailures + 1 : 1;
    open_.lastFailureCode = code;
    open_.gone = open_.gone || device_.isGone(call, code, open_.sameFailures);
}

// Overruns and framing or parity errors mean bytes were lost on the line;
// a noisy line would report them with every pass, so once a second is
// enough, with the errors seen in between.
void SerialPort::noteLineErrors() {
    open_.lineErrors |= device_.lineErrors();
    if (open_.lineErrors == 0) return;
    auto now = Clock::now();
    if (open_.lineErrorReported && now - open_.lineErrorTime < std::chrono::seconds(1)) return;
    open_.lineErrorReported = true;
    open_.lineErrorTime = now;
    char text[32];
    std::snprintf(text, sizeof text, "line error: %d\n", static_cast<int>(open_.lineErrors));
    say(text);
    open_.lineErrors = 0;
}

void SerialPort::takeMarks(Reception& result) {
    if (!settings_.watchLine) return;
    marks_.clear();
    device_.takeMarks(marks_);
    result.marks = marks_.data();
    result.markCount = marks_.size();
}

Reception SerialPort::receive() {
    open_.gone = false;
    Reception result = pass();
    result.gone = open_.gone;
    takeMarks(result);
    // What the device found worth saying while the port is used (a server
    // that changed how it sends).
    std::string notice = device_.takeNotice();
    if (!notice.empty()) say(notice.c_str());
    return result;
}

// Gives true when the port reported received characters.
bool SerialPort::waitForEvent(Reception& result) {
    switch (device_.waitEvent(open_.eventMask)) {
        case EventWait::Nothing:
            return false;
        case EventWait::Failed: {
            int code = device_.lastError();
            if (code == kErrorIoPending) {
                result.keyTestDue = false;
                return false;
            }
            failed("Error for Waiting Comm Event: %d\n", FailedCall::WaitEvent, code);
            if (arrivalsOnly_) {
                // A driver set to abort on errors fails every request until
                // its errors are cleared; without this the capture would stop.
                std::uint32_t ignored = 0;
                if (device_.clearErrors(ignored)) noteLineErrors();
            }
            return false;
        }
        case EventWait::Event:
            break;
    }
    // A wait that ends with no event at all was cancelled or lost its port;
    // one that keeps ending so must be paced, not retried at once.
    if (open_.eventMask == 0) {
        failed("Error for Waiting Comm Event: %d\n", FailedCall::WaitEvent, kErrorOperationAborted);
        return false;
    }
    open_.sameFailures = 0;
    return true;
}

Reception SerialPort::pass() {
    Reception result;
    // A failing port's pause is kept by the wait; a pass before its end
    // does nothing.
    if (!pauseOver()) return result;

    // Bytes left queued are read without a wait when the device would not
    // report them again.
    bool readLeft = arrivalsOnly_ && open_.left > 0;
    open_.left = 0;
    if (!readLeft && !waitForEvent(result)) return result;

    std::uint32_t queued = kMaxReadBytes;
    if (device_.clearErrors(queued)) {
        noteLineErrors();
    } else if (arrivalsOnly_) {
        failed("error clearing comm: %d\n", FailedCall::ClearErrors, device_.lastError());
        return result;
    } else {
        // When the count cannot be had, a full-size read returns what is there.
        queued = kMaxReadBytes;
        int code = device_.lastError();
        open_.gone = device_.isGone(FailedCall::ClearErrors, code, 1);
    }
    if ((open_.eventMask & kEventRxChar) == 0 || queued == 0) {
        open_.failures = 0;
        return result;
    }

    std::uint32_t wanted = queued < kMaxReadBytes ? queued : kMaxReadBytes;
    if (read(wanted)) open_.failures = 0;
    // A read that brings nothing ends the reading without a wait, so a
    // count that stays wrong cannot keep the passes spinning.
    if (open_.byteCount > 0 && queued > open_.byteCount) open_.left = queued - open_.byteCount;
    result.data = buffer_;
    result.size = open_.byteCount;
    return result;
}

// Reads at most wanted bytes into the buffer; gives true when the read
// completed. open_.byteCount holds what it delivered either way.
bool SerialPort::read(std::uint32_t wanted) {
    open_.byteCount = 0;
    bool completed = false;
    switch (device_.startRead(buffer_, wanted, open_.byteCount)) {
        case ReadStart::Completed:
            completed = true;
            break;
        case ReadStart::Failed:
            open_.byteCount = 0;
            failed("Reading of serial communication has problem: %d\n", FailedCall::Read,
                   device_.lastError());
            break;
        case ReadStart::Pending:
            switch (device_.waitRead(kCompletionWaitMs)) {
                case CompletionWait::Signalled:
                    completed = device_.readResult(open_.byteCount);
                    if (!completed) {
                        open_.byteCount = 0;
                        failed("Error getting Overlapped result: %d\n", FailedCall::Read,
                               device_.lastError());
                    }
                    break;
                case CompletionWait::TimedOut:
                    report("TimeOut for waiting single object: %d\n", device_.lastError());
                    open_.byteCount = device_.cancelRead();
                    break;
                case CompletionWait::Failed:
                    failed("error waiting for single object: %d\n", FailedCall::Read,
                           device_.lastError());
                    open_.byteCount = device_.cancelRead();
                    break;
                case CompletionWait::Other:
                    open_.byteCount = device_.cancelRead();
                    break;
            }
            break;
    }
    if (open_.byteCount > wanted) open_.byteCount = wanted;
    return completed;
}

Reception SerialPort::takeBuffered() {
    Reception rest = takeBufferedBytes();
    takeMarks(rest);
    return rest;
}

Reception SerialPort::takeBufferedBytes() {
    Reception rest;
    rest.data = buffer_;
    rest.size = device_.takeBuffered(buffer_, kMaxReadBytes);
    if (rest.size > 0 || !arrivalsOnly_) return rest;

    // The driver's queue is read as far as it held at the first look, and
    // for a bounded time, so neither a device that keeps sending nor one
    // whose reads never complete can hold up the shutdown.
    auto now = Clock::now();
    bool first = !open_.draining;
    if (first) {
        open_.draining = true;
        open_.drainEnd = now + std::chrono::milliseconds(kDrainMs);
    }
    std::uint32_t queued = 0;
    if ((!first && open_.drainLeft == 0) || now >= open_.drainEnd || !device_.clearErrors(queued)) {
        open_.drainLeft = 0;
        return rest;
    }
    noteLineErrors();
    if (first) open_.drainLeft = queued;
    std::uint32_t wanted = queued < open_.drainLeft ? queued : open_.drainLeft;
    if (wanted > kMaxReadBytes) wanted = kMaxReadBytes;
    if (wanted == 0) {
        open_.drainLeft = 0;
        return rest;
    }
    bool completed = read(wanted);
    open_.drainLeft = completed && open_.byteCount > 0 ? open_.drainLeft - open_.byteCount : 0;
    rest.size = open_.byteCount;
    return rest;
}

bool SerialPort::closePort() { return device_.closePort(); }
bool SerialPort::closeEvent() { return device_.closeEvent(); }
int SerialPort::lastError() const { return device_.lastError(); }

}  // namespace serialtap

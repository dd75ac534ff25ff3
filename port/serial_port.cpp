#include "port/serial_port.h"

#include <algorithm>
#include <cstdio>

namespace serialtap {

namespace {

std::uint32_t millisecondsUntil(std::chrono::steady_clock::time_point end) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0;
}

}  // namespace

SerialPort::SerialPort(SerialDevice& device, std::FILE* messages)
    : device_(device), messages_(messages), arrivalsOnly_(device.reportsArrivalsOnly()) {}

bool SerialPort::fail(const char* format, bool closeAfter) {
    // The code is read before the close, which may change it.
    int code = device_.lastError();
    if (closeAfter) device_.closePort();
    // The user asked to stop; there is nothing to report.
    if (device_.refusal() == PortRefusal::Stopped) {
        openFailure_.clear();
        return false;
    }
    char text[96];
    std::snprintf(text, sizeof text, format, code);
    openFoundNoPort_ = device_.isGone(FailedCall::Open, code, 1);
    return refuse(text);
}

bool SerialPort::refuse(const char* message) {
    openFailure_ = message;
    if (quiet_) return false;
    say(message);
    return false;
}

void SerialPort::say(const char* text) {
    if (say_) {
        say_(text);
    } else {
        std::fputs(text, messages_);
    }
}

bool SerialPort::open(const PortSettings& settings, bool quiet) {
    // Nothing of an earlier open, a lost port's included, carries over.
    static_cast<SerialPortOpenState&>(*this) = SerialPortOpenState{};
    quiet_ = quiet;
    openFoundNoPort_ = false;
    if (!device_.open(settings.portName)) {
        std::string told = device_.refusalMessage();
        if (!told.empty()) return refuse(told.c_str());
        switch (device_.refusal()) {
            case PortRefusal::OwnTerminal:
                return refuse("could not open serial port: it is the terminal serialtap runs in\n");
            case PortRefusal::CaptureFile:
                return refuse("could not open serial port: it is the capture file\n");
            case PortRefusal::None:
            case PortRefusal::Stopped:
                break;
        }
        return fail("could not open serial port: %d\n", false);
    }
    if (!device_.setupQueues(kQueueBytes, kQueueBytes)) {
        return fail("error setting up comm: %d\n", true);
    }
    LineSettings line;
    if (!device_.getLineSettings(line)) return fail("error getting comm: %d\n", true);
    line.baudRate = settings.baudRate;
    line.byteSize = settings.byteSize;
    line.parity = settings.parity;
    line.stopBits = settings.stopBits;
    if (!device_.setLineSettings(line)) return fail("error setting comm: %d\n", true);
    Timeouts timeouts;
    if (!device_.getTimeouts(timeouts)) return fail("error getting comm timeouts: %d\n", true);
    // Reads return at once with what is queued, or with the first byte to arrive.
    timeouts.readInterval = kMaxDword;
    timeouts.readTotalMultiplier = kMaxDword;
    timeouts.readTotalConstant = kReadTotalConstantMs;
    if (!device_.setTimeouts(timeouts)) return fail("error setting comm timeouts: %d\n", true);
    if (!device_.setEventMask(kEventRxChar)) {
        return fail("could not set a Mask for serial port: %d\n", true);
    }
    if (!device_.purge(kPurgeAll)) return fail("error purge comm: %d\n", true);
    // Quiet opens, while a port is away, leave nothing open behind.
    if (!device_.createEvent()) return fail("could not set event: %d\n", quiet);
    // Said even by a quiet open: the notice is about the data from now on.
    std::string notice = device_.takeNotice();
    if (!notice.empty()) say(notice.c_str());
    return true;
}

void SerialPort::setWakeHandles(const std::vector<NativeHandle>& handles) {
    device_.setWakeHandles(handles);
}

void SerialPort::report(const char* format, int code) {
    char text[96];
    std::snprintf(text, sizeof text, format, code);
    // A port that keeps failing repeats the same message; once a second is enough.
    auto now = Clock::now();
    if (text == lastMessage_ && now - lastMessageTime_ < std::chrono::seconds(1)) return;
    lastMessage_ = text;
    lastMessageTime_ = now;
    say(text);
}

void SerialPort::failed(const char* format, FailedCall call, int code) {
    report(format, code);
    ++failures_;
    sameFailures_ = code == lastFailureCode_ ? sameFailures_ + 1 : 1;
    lastFailureCode_ = code;
    gone_ = gone_ || device_.isGone(call, code, sameFailures_);
}

// Overruns and framing or parity errors mean bytes were lost on the line;
// a noisy line would report them with every pass, so once a second is
// enough, with the errors seen in between.
void SerialPort::noteLineErrors() {
    lineErrors_ |= device_.lineErrors();
    if (lineErrors_ == 0) return;
    auto now = Clock::now();
    if (lineErrorReported_ && now - lineErrorTime_ < std::chrono::seconds(1)) return;
    lineErrorReported_ = true;
    lineErrorTime_ = now;
    char text[32];
    std::snprintf(text, sizeof text, "line error: %d\n", static_cast<int>(lineErrors_));
    say(text);
    lineErrors_ = 0;
}

Reception SerialPort::receive(std::uint32_t waitLimitMs) {
    gone_ = false;
    Reception result = pass(waitLimitMs);
    result.gone = gone_;
    // This look at the wake handles also keeps q and stop requests seen
    // while passes read bytes left queued without an event wait.
    result.woken = result.woken || device_.wakeReady();
    return result;
}

// Gives true when the port reported received characters.
bool SerialPort::waitForEvent(std::uint32_t waitLimitMs, Reception& result) {
    switch (device_.waitEvent(eventMask_, waitLimitMs)) {
        case EventWait::Woken:
            result.woken = true;
            return false;
        case EventWait::TimedOut:
            result.timedOut = true;
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
    if (eventMask_ == 0) {
        failed("Error for Waiting Comm Event: %d\n", FailedCall::WaitEvent, kErrorOperationAborted);
        return false;
    }
    sameFailures_ = 0;
    return true;
}

// A port that keeps failing is given a pause, so it costs no CPU; a single
// failure is not, since a second without reading would overflow the
// driver's queue of a fast line. The console, stop requests and the
// capture's timers still end the pause; gives false when the pass ends.
bool SerialPort::pauseAfterFailures(std::uint32_t waitLimitMs, Reception& result) {
    if (failures_ < 2) return true;
    std::uint32_t pause = kFailurePauseMs;
    if (pausing_) {
        pause = millisecondsUntil(pauseEnd_);
    } else {
        pausing_ = true;
        pauseEnd_ = Clock::now() + std::chrono::milliseconds(kFailurePauseMs);
    }
    // A timer of the capture that is due first ends the pass; the pause
    // goes on in the next one.
    bool limited = waitLimitMs < pause;
    if (limited) pause = waitLimitMs;
    if (device_.waitWake(pause) == WakeWait::Woken) {
        result.woken = true;
        return false;
    }
    if (limited) {
        result.timedOut = true;
        return false;
    }
    pausing_ = false;
    return true;
}

Reception SerialPort::pass(std::uint32_t waitLimitMs) {
    Reception result;
    if (!pauseAfterFailures(waitLimitMs, result)) return result;

    // Bytes left queued are read without a wait when the device would not
    // report them again.
    bool readLeft = arrivalsOnly_ && left_ > 0;
    left_ = 0;
    if (!readLeft && !waitForEvent(waitLimitMs, result)) return result;

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
        gone_ = device_.isGone(FailedCall::ClearErrors, code, 1);
    }
    if ((eventMask_ & kEventRxChar) == 0 || queued == 0) {
        failures_ = 0;
        return result;
    }

    std::uint32_t wanted = queued < kMaxReadBytes ? queued : kMaxReadBytes;
    if (read(wanted)) failures_ = 0;
    // A read that brings nothing ends the reading without a wait, so a
    // count that stays wrong cannot keep the passes spinning.
    if (byteCount_ > 0 && queued > byteCount_) left_ = queued - byteCount_;
    result.data = buffer_;
    result.size = byteCount_;
    return result;
}

// Reads at most wanted bytes into the buffer; gives true when the read
// completed. byteCount_ holds what it delivered either way.
bool SerialPort::read(std::uint32_t wanted) {
    byteCount_ = 0;
    bool completed = false;
    switch (device_.startRead(buffer_, wanted, byteCount_)) {
        case ReadStart::Completed:
            completed = true;
            break;
        case ReadStart::Failed:
            byteCount_ = 0;
            failed("Reading of serial communication has problem: %d\n", FailedCall::Read,
                   device_.lastError());
            break;
        case ReadStart::Pending:
            switch (device_.waitRead(kCompletionWaitMs)) {
                case CompletionWait::Signalled:
                    completed = device_.readResult(byteCount_);
                    if (!completed) {
                        byteCount_ = 0;
                        failed("Error getting Overlapped result: %d\n", FailedCall::Read,
                               device_.lastError());
                    }
                    break;
                case CompletionWait::TimedOut:
                    report("TimeOut for waiting single object: %d\n", device_.lastError());
                    byteCount_ = device_.cancelRead();
                    break;
                case CompletionWait::Failed:
                    failed("error waiting for single object: %d\n", FailedCall::Read,
                           device_.lastError());
                    byteCount_ = device_.cancelRead();
                    break;
                case CompletionWait::Other:
                    byteCount_ = device_.cancelRead();
                    break;
            }
            break;
    }
    if (byteCount_ > wanted) byteCount_ = wanted;
    return completed;
}

Reception SerialPort::takeBuffered() {
    Reception rest;
    rest.data = buffer_;
    rest.size = device_.takeBuffered(buffer_, kMaxReadBytes);
    if (rest.size > 0 || !arrivalsOnly_) return rest;

    // The driver's queue is read as far as it held at the first look, and
    // for a bounded time, so neither a device that keeps sending nor one
    // whose reads never complete can hold up the shutdown.
    auto now = Clock::now();
    bool first = !draining_;
    if (first) {
        draining_ = true;
        drainEnd_ = now + std::chrono::milliseconds(kDrainMs);
    }
    std::uint32_t queued = 0;
    if ((!first && drainLeft_ == 0) || now >= drainEnd_ || !device_.clearErrors(queued)) {
        drainLeft_ = 0;
        return rest;
    }
    noteLineErrors();
    if (first) drainLeft_ = queued;
    std::uint32_t wanted = queued < drainLeft_ ? queued : drainLeft_;
    if (wanted > kMaxReadBytes) wanted = kMaxReadBytes;
    if (wanted == 0) {
        drainLeft_ = 0;
        return rest;
    }
    bool completed = read(wanted);
    drainLeft_ = completed && byteCount_ > 0 ? drainLeft_ - byteCount_ : 0;
    rest.size = byteCount_;
    return rest;
}

bool SerialPort::closePort() { return device_.closePort(); }
bool SerialPort::closeEvent() { return device_.closeEvent(); }
int SerialPort::lastError() const { return device_.lastError(); }

}  // namespace serialtap

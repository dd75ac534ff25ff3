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
    : device_(device), messages_(messages) {}

bool SerialPort::fail(const char* format, bool closeAfter) {
    // The code is read before the close, which may change it.
    int code = device_.lastError();
    if (closeAfter) device_.closePort();
    char text[96];
    std::snprintf(text, sizeof text, format, code);
    openFailure_ = text;
    openFoundNoPort_ = device_.isGone(FailedCall::Open, code, 1);
    if (!quiet_) std::fputs(text, messages_);
    return false;
}

bool SerialPort::open(const PortSettings& settings, bool quiet) {
    // An open after a failed port starts afresh.
    quiet_ = quiet;
    failing_ = false;
    failuresInARow_ = 0;
    lastMessage_.clear();
    if (!device_.open(settings.portName)) return fail("could not open serial port: %d\n", false);
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
    if (!device_.createEvent()) return fail("could not set event: %d\n", quiet);
    return true;
}

void SerialPort::setWakeHandles(const std::vector<NativeHandle>& handles) {
    device_.setWakeHandles(handles);
}

void SerialPort::report(const char* format, int code) {
    char text[96];
    std::snprintf(text, sizeof text, format, code);
    // A port that keeps failing repeats the same message; once a second is enough.
    auto now = std::chrono::steady_clock::now();
    if (text == lastMessage_ && now - lastMessageTime_ < std::chrono::seconds(1)) return;
    lastMessage_ = text;
    lastMessageTime_ = now;
    std::fputs(text, messages_);
}

bool SerialPort::failureMeansGone(FailedCall call, int code) {
    failuresInARow_ = code == lastFailureCode_ ? failuresInARow_ + 1 : 1;
    lastFailureCode_ = code;
    return device_.isGone(call, code, failuresInARow_);
}

void SerialPort::pauseAfterFailure() {
    failing_ = true;
    pauseEnd_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFailurePauseMs);
}

Reception SerialPort::endWithMessage(const char* format, FailedCall call, int code,
                                     Reception result) {
    report(format, code);
    result.gone = result.gone || failureMeansGone(call, code);
    pauseAfterFailure();
    return result;
}

Reception SerialPort::receive(std::uint32_t waitLimitMs) {
    Reception result = pass(waitLimitMs);
    result.woken = result.woken || device_.wakeReady();
    return result;
}

Reception SerialPort::pass(std::uint32_t waitLimitMs) {
    Reception result;
    if (failing_) {
        // After a failure the port is given a pause, so a port that keeps
        // failing costs no CPU; the console and stop requests still end it,
        // and so does a time limit, after which the pass ends early.
        failing_ = false;
        std::uint32_t pause = waitLimitMs == kWaitForever
                                  ? kFailurePauseMs
                                  : std::min(millisecondsUntil(pauseEnd_), waitLimitMs);
        if (device_.waitWake(pause) == WakeWait::Woken) {
            result.woken = true;
            return result;
        }
        if (waitLimitMs != kWaitForever) {
            failing_ = std::chrono::steady_clock::now() < pauseEnd_;
            result.timedOut = true;
            return result;
        }
    }

    switch (device_.waitEvent(eventMask_, waitLimitMs)) {
        case EventWait::Woken:
            result.woken = true;
            return result;
        case EventWait::TimedOut:
            result.timedOut = true;
            return result;
        case EventWait::Failed: {
            int code = device_.lastError();
            if (code == kErrorIoPending) {
                result.keyTestDue = false;
                return result;
            }
            return endWithMessage("Error for Waiting Comm Event: %d\n", FailedCall::WaitEvent, code,
                                  result);
        }
        case EventWait::Event:
            failuresInARow_ = 0;
            break;
    }

    std::uint32_t queued = kMaxReadBytes;
    // When the count cannot be had, a full-size read returns what is there.
    if (!device_.clearErrors(queued)) {
        queued = kMaxReadBytes;
        result.gone = failureMeansGone(FailedCall::ClearErrors, device_.lastError());
    }
    if ((eventMask_ & kEventRxChar) == 0 || queued == 0) return result;

    std::uint32_t wanted = queued < kMaxReadBytes ? queued : kMaxReadBytes;
    switch (device_.startRead(buffer_, wanted, byteCount_)) {
        case ReadStart::Completed:
            break;
        case ReadStart::Failed:
            return endWithMessage("Reading of serial communication has problem: %d\n",
                                  FailedCall::Read, device_.lastError(), result);
        case ReadStart::Pending:
            switch (device_.waitRead(kCompletionWaitMs)) {
                case CompletionWait::Signalled:
                    if (!device_.readResult(byteCount_)) {
                        return endWithMessage("Error getting Overlapped result: %d\n",
                                              FailedCall::Read, device_.lastError(), result);
                    }
                    break;
                case CompletionWait::TimedOut:
                    report("TimeOut for waiting single object: %d\n", device_.lastError());
                    byteCount_ = device_.cancelRead();
                    break;
                case CompletionWait::Failed:
                    report("error waiting for single object: %d\n", device_.lastError());
                    pauseAfterFailure();
                    byteCount_ = device_.cancelRead();
                    break;
                case CompletionWait::Other:
                    byteCount_ = device_.cancelRead();
                    break;
            }
            break;
    }
    if (byteCount_ > wanted) byteCount_ = wanted;
    result.data = buffer_;
    result.size = byteCount_;
    return result;
}

Reception SerialPort::takeBuffered() {
    Reception rest;
    rest.data = buffer_;
    rest.size = device_.takeBuffered(buffer_, kMaxReadBytes);
    return rest;
}

bool SerialPort::closePort() { return device_.closePort(); }
bool SerialPort::closeEvent() { return device_.closeEvent(); }
int SerialPort::lastError() const { return device_.lastError(); }

}  // namespace serialtap

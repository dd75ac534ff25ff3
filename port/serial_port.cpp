#include "port/serial_port.h"

#include <cstdio>

namespace serialtap {

SerialPort::SerialPort(SerialDevice& device, std::FILE* messages)
    : device_(device), messages_(messages) {}

bool SerialPort::fail(const char* format, bool closeAfter) {
    // The code is read before the close, which may change it.
    int code = device_.lastError();
    if (closeAfter) device_.closePort();
    std::fprintf(messages_, format, code);
    return false;
}

bool SerialPort::open(const PortSettings& settings) {
    if (!device_.open(settings.portName)) {
        switch (device_.refusal()) {
            case PortRefusal::OwnTerminal:
                std::fputs("could not open serial port: it is the terminal serialtap runs in\n",
                           messages_);
                return false;
            case PortRefusal::CaptureFile:
                std::fputs("could not open serial port: it is the capture file\n", messages_);
                return false;
            case PortRefusal::None:
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
    if (!device_.createEvent()) return fail("could not set event: %d\n", false);
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

Reception SerialPort::endWithMessage(const char* format, int code, Reception result) {
    report(format, code);
    failing_ = true;
    return result;
}

Reception SerialPort::receive() {
    Reception result = pass();
    result.woken = result.woken || device_.wakeReady();
    return result;
}

Reception SerialPort::pass() {
    Reception result;
    if (failing_) {
        // After a failure the port is given a pause, so a port that keeps
        // failing costs no CPU; the console and stop requests still end it.
        failing_ = false;
        if (device_.waitWake(kFailurePauseMs) == WakeWait::Woken) {
            result.woken = true;
            return result;
        }
    }

    switch (device_.waitEvent(eventMask_)) {
        case EventWait::Woken:
            result.woken = true;
            return result;
        case EventWait::Failed: {
            int code = device_.lastError();
            if (code == kErrorIoPending) {
                result.keyTestDue = false;
                return result;
            }
            return endWithMessage("Error for Waiting Comm Event: %d\n", code, result);
        }
        case EventWait::Event:
            break;
    }

    std::uint32_t queued = kMaxReadBytes;
    // When the count cannot be had, a full-size read returns what is there.
    if (!device_.clearErrors(queued)) queued = kMaxReadBytes;
    if ((eventMask_ & kEventRxChar) == 0 || queued == 0) return result;

    std::uint32_t wanted = queued < kMaxReadBytes ? queued : kMaxReadBytes;
    switch (device_.startRead(buffer_, wanted, byteCount_)) {
        case ReadStart::Completed:
            break;
        case ReadStart::Failed:
            return endWithMessage("Reading of serial communication has problem: %d\n",
                                  device_.lastError(), result);
        case ReadStart::Pending:
            switch (device_.waitRead(kCompletionWaitMs)) {
                case CompletionWait::Signalled:
                    if (!device_.readResult(byteCount_)) {
                        return endWithMessage("Error getting Overlapped result: %d\n",
                                              device_.lastError(), result);
                    }
                    break;
                case CompletionWait::TimedOut:
                    report("TimeOut for waiting single object: %d\n", device_.lastError());
                    byteCount_ = device_.cancelRead();
                    break;
                case CompletionWait::Failed:
                    report("error waiting for single object: %d\n", device_.lastError());
                    failing_ = true;
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

// The serial port through the Win32 communications calls, opened for
// overlapped use so that the event wait can also watch the console and the
// stop request.
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port/serial_device.h"

namespace serialtap {
namespace {

// "COM10" and above open only through the device namespace; the prefix works
// for COM1 to COM9 too, so every COMn goes that way. Other names (already
// prefixed ones, named pipes, files) are used as given.
std::string devicePath(const std::string& portName) {
    if (portName.size() < 4) return portName;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(portName[i])) != "COM"[i]) return portName;
    }
    for (std::size_t i = 3; i < portName.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(portName[i]))) return portName;
    }
    return "\\\\.\\" + portName;
}

HANDLE toHandle(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

class Win32SerialDevice final : public SerialDevice {
public:
    Win32SerialDevice() = default;
    Win32SerialDevice(const Win32SerialDevice&) = delete;
    Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

    ~Win32SerialDevice() override {
        if (port_ != INVALID_HANDLE_VALUE) closePort();
        closeEvents();
    }

    bool open(const std::string& portName) override {
        port_ = CreateFileA(devicePath(portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        return succeeded(port_ != INVALID_HANDLE_VALUE);
    }

    bool setupQueues(std::uint32_t inputBytes, std::uint32_t outputBytes) override {
        return succeeded(SetupComm(port_, inputBytes, outputBytes));
    }

    bool getLineSettings(LineSettings& settings) override {
        lineSettings_ = DCB{};
        lineSettings_.DCBlength = sizeof(DCB);
        if (!succeeded(GetCommState(port_, &lineSettings_))) return false;
        settings.baudRate = lineSettings_.BaudRate;
        settings.byteSize = lineSettings_.ByteSize;
        settings.parity = lineSettings_.Parity;
        settings.stopBits = lineSettings_.StopBits;
        return true;
    }

    // Writes back the settings as the port reported them, flow control
    // included, with only the four chosen fields replaced.
    bool setLineSettings(const LineSettings& settings) override {
        lineSettings_.BaudRate = settings.baudRate;
        lineSettings_.ByteSize = settings.byteSize;
        lineSettings_.Parity = settings.parity;
        lineSettings_.StopBits = settings.stopBits;
        return succeeded(SetCommState(port_, &lineSettings_));
    }

    bool getTimeouts(Timeouts& timeouts) override {
        COMMTIMEOUTS current{};
        if (!succeeded(GetCommTimeouts(port_, &current))) return false;
        timeouts.readInterval = current.ReadIntervalTimeout;
        timeouts.readTotalMultiplier = current.ReadTotalTimeoutMultiplier;
        timeouts.readTotalConstant = current.ReadTotalTimeoutConstant;
        timeouts.writeTotalMultiplier = current.WriteTotalTimeoutMultiplier;
        timeouts.writeTotalConstant = current.WriteTotalTimeoutConstant;
        return true;
    }

    bool setTimeouts(const Timeouts& timeouts) override {
        COMMTIMEOUTS wanted{};
        wanted.ReadIntervalTimeout = timeouts.readInterval;
        wanted.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
        wanted.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
        wanted.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
        wanted.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
        return succeeded(SetCommTimeouts(port_, &wanted));
    }

    bool setEventMask(std::uint32_t mask) override { return succeeded(SetCommMask(port_, mask)); }

    bool purge(std::uint32_t flags) override { return succeeded(PurgeComm(port_, flags)); }

    // Besides the auto-reset event that completed reads signal, the event
    // wait needs a manual-reset event of its own: an overlapped handle does
    // not accept a WaitCommEvent without an OVERLAPPED record.
    bool createEvent() override {
        readEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!succeeded(readEvent_ != nullptr)) return false;
        commEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!succeeded(commEvent_ != nullptr)) {
            CloseHandle(readEvent_);
            readEvent_ = nullptr;
            return false;
        }
        readRequest_ = OVERLAPPED{};
        readRequest_.hEvent = readEvent_;
        commRequest_ = OVERLAPPED{};
        commRequest_.hEvent = commEvent_;
        return true;
    }

    void setWakeHandles(const std::vector<NativeHandle>& handles) override {
        wakeHandles_.clear();
        for (NativeHandle handle : handles) wakeHandles_.push_back(toHandle(handle));
        // What the event wait waits on, made once rather than every pass.
        waitHandles_ = wakeHandles_;
        waitHandles_.push_back(commEvent_);
    }

    // The wake handles come first in the wait so that a key or a stop
    // request is noticed even while the port reports data without pause.
    // An event wait that is still pending when they fire stays pending and
    // is waited for again by the next call: only one may be outstanding.
    EventWait waitEvent(std::uint32_t& eventMask, std::uint32_t milliseconds) override {
        if (!commWaitPending_) {
            // A wait that completed at once left the event signalled.
            ResetEvent(commEvent_);
            commMask_ = 0;
            if (WaitCommEvent(port_, &commMask_, &commRequest_)) {
                eventMask = commMask_;
                return EventWait::Event;
            }
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) return failedWith(error);
            commWaitPending_ = true;
        }

        if (waitHandles_.empty()) setWakeHandles({});
        DWORD count = static_cast<DWORD>(waitHandles_.size());
        // kWaitForever is INFINITE.
        DWORD result = WaitForMultipleObjects(count, waitHandles_.data(), FALSE, milliseconds);
        if (result == WAIT_TIMEOUT) return EventWait::TimedOut;
        if (result == WAIT_FAILED) return failedWith(GetLastError());
        if (result < WAIT_OBJECT_0 + count - 1) return EventWait::Woken;
        if (result != WAIT_OBJECT_0 + count - 1) return failedWith(ERROR_INVALID_HANDLE);

        commWaitPending_ = false;
        DWORD unused = 0;
        if (!GetOverlappedResult(port_, &commRequest_, &unused, FALSE)) {
            return failedWith(GetLastError());
        }
        eventMask = commMask_;
        return EventWait::Event;
    }

    // Looked at when a pass ends: a key pressed or a stop requested while
    // the port was being read is then noticed without another wait.
    bool wakeReady() const override {
        for (HANDLE handle : wakeHandles_) {
            if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) return true;
        }
        return false;
    }

    WakeWait waitWake(std::uint32_t milliseconds) override {
        if (!wakeHandles_.empty()) {
            DWORD count = static_cast<DWORD>(wakeHandles_.size());
            DWORD result = WaitForMultipleObjects(count, wakeHandles_.data(), FALSE, milliseconds);
            if (result < WAIT_OBJECT_0 + count) return WakeWait::Woken;
            if (result == WAIT_TIMEOUT) return WakeWait::TimedOut;
        }
        // No handle to wait on, or the wait itself failed: still pause, so
        // that a failing port is not polled without rest.
        Sleep(milliseconds);
        return WakeWait::TimedOut;
    }

    bool clearErrors(std::uint32_t& queuedBytes) override {
        DWORD errors = 0;
        COMSTAT status{};
        if (!succeeded(ClearCommError(port_, &errors, &status))) return false;
        queuedBytes = status.cbInQue;
        return true;
    }

    ReadStart startRead(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& count) override {
        // Reusing the read request while the port still owns it would let
        // the earlier read finish into the buffer; end it first.
        if (readPending_) cancelRead();
        DWORD received = 0;
        if (ReadFile(port_, buffer, size, &received, &readRequest_)) {
            count = received;
            return ReadStart::Completed;
        }
        DWORD error = GetLastError();
        lastError_ = static_cast<int>(error);
        if (error != ERROR_IO_PENDING) return ReadStart::Failed;
        readPending_ = true;
        return ReadStart::Pending;
    }

    CompletionWait waitRead(std::uint32_t milliseconds) override {
        DWORD result = WaitForSingleObject(readEvent_, milliseconds);
        // The message after a wait carries whatever code the thread holds
        // then, whether or not the wait failed.
        lastError_ = static_cast<int>(GetLastError());
        switch (result) {
            case WAIT_OBJECT_0:
                return CompletionWait::Signalled;
            case WAIT_TIMEOUT:
                return CompletionWait::TimedOut;
            case WAIT_FAILED:
                return CompletionWait::Failed;
            default:
                return CompletionWait::Other;
        }
    }

    bool readResult(std::uint32_t& count) override {
        DWORD received = 0;
        bool done = GetOverlappedResult(port_, &readRequest_, &received, FALSE) != 0;
        if (!done) {
            DWORD error = GetLastError();
            lastError_ = static_cast<int>(error);
            if (error == ERROR_IO_INCOMPLETE) return false;
        }
        readPending_ = false;
        if (done) count = received;
        return done;
    }

    // A cancelled read may still have delivered bytes; the count it
    // completed with says how many, and they are kept.
    std::uint32_t cancelRead() override {
        if (!readPending_) return 0;
        readPending_ = false;
        CancelIoEx(port_, &readRequest_);
        DWORD transferred = 0;
        GetOverlappedResult(port_, &readRequest_, &transferred, TRUE);
        // A cancelled read keeps its partial count in InternalHigh, which
        // GetOverlappedResult does not promise to copy out when it fails.
        return static_cast<std::uint32_t>(readRequest_.InternalHigh);
    }

    bool closePort() override {
        if (commWaitPending_) {
            commWaitPending_ = false;
            // A new event mask ends a pending event wait; CancelIoEx does
            // not reach it on every driver (Wine's serial wait ignores it).
            SetCommMask(port_, 0);
            DWORD unused = 0;
            GetOverlappedResult(port_, &commRequest_, &unused, TRUE);
        }
        if (readPending_) cancelRead();
        HANDLE port = port_;
        port_ = INVALID_HANDLE_VALUE;
        return succeeded(CloseHandle(port));
    }

    bool closeEvent() override {
        HANDLE event = readEvent_;
        readEvent_ = nullptr;
        closeEvents();
        return succeeded(CloseHandle(event));
    }

    int lastError() const override { return lastError_; }

    // An unplugged adapter's handle fails its calls with these codes, or
    // aborts each event wait; one abort alone may come from a purge. A
    // port that is not there now cannot be opened: no such file or path,
    // or a device that is not connected.
    bool isGone(FailedCall call, int code, int inARow) const override {
        switch (call) {
            case FailedCall::Open:
                return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
                       code == ERROR_GEN_FAILURE || code == ERROR_DEVICE_NOT_CONNECTED;
            case FailedCall::ClearErrors:
                return true;
            case FailedCall::WaitEvent:
            case FailedCall::Read:
                break;
        }
        if (code == ERROR_OPERATION_ABORTED) return inARow > 1;
        return code == ERROR_ACCESS_DENIED || code == ERROR_BAD_COMMAND ||
               code == ERROR_GEN_FAILURE || code == ERROR_DEVICE_NOT_CONNECTED;
    }

private:
    // Keeps the code of a failed call, since later clean-up calls may
    // overwrite the thread's own.
    bool succeeded(bool ok) {
        if (!ok) lastError_ = static_cast<int>(GetLastError());
        return ok;
    }

    bool succeeded(BOOL ok) { return succeeded(ok != FALSE); }

    EventWait failedWith(DWORD error) {
        lastError_ = static_cast<int>(error);
        return EventWait::Failed;
    }

    void closeEvents() {
        if (readEvent_ != nullptr) CloseHandle(readEvent_);
        if (commEvent_ != nullptr) CloseHandle(commEvent_);
        readEvent_ = nullptr;
        commEvent_ = nullptr;
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE readEvent_ = nullptr;
    HANDLE commEvent_ = nullptr;
    OVERLAPPED readRequest_{};
    OVERLAPPED commRequest_{};
    DCB lineSettings_{};
    DWORD commMask_ = 0;
    bool commWaitPending_ = false;
    bool readPending_ = false;
    std::vector<HANDLE> wakeHandles_;
    std::vector<HANDLE> waitHandles_;
    int lastError_ = 0;
};

}  // namespace

std::unique_ptr<SerialDevice> makePlatformDevice() { return std::make_unique<Win32SerialDevice>(); }

}  // namespace serialtap

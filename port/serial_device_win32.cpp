// The serial port through the Win32 communications calls, opened for
// overlapped use so that the event wait can also watch the console and the
// stop request.
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "port/comm_state.h"
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

// How long closing waits for the driver to end requests it was asked to
// cancel; a driver whose device was pulled out may never end them.
constexpr DWORD kCancelWaitMs = 1000;

// The line errors that lose received bytes.
constexpr DWORD kLostByteErrors = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;

// What the driver writes into while a request is pending. They live on the
// heap so that a request a driver never ends can be abandoned with its
// record, rather than let the driver write into freed memory or into the
// buffer the capture is taking its bytes from.
struct ReadRequest {
    OVERLAPPED overlapped{};
    std::uint8_t buffer[256] = {};
};

struct EventRequest {
    OVERLAPPED overlapped{};
    DWORD mask = 0;
};

// Waits for the event until the deadline from GetTickCount.
bool signalledBy(HANDLE event, DWORD deadline) {
    DWORD now = GetTickCount();
    DWORD left = static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
    return WaitForSingleObject(event, left) == WAIT_OBJECT_0;
}

// Everything one open of the port sets up and uses. It is the device's
// base, so that the code names these as the device's own, and every open
// assigns it afresh: a reopened port keeps nothing of the one that was lost.
struct Win32OpenState {
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE readEvent_ = nullptr;
    HANDLE commEvent_ = nullptr;
    std::unique_ptr<ReadRequest> readRequest_ = std::make_unique<ReadRequest>();
    std::unique_ptr<EventRequest> eventRequest_ = std::make_unique<EventRequest>();
    std::uint8_t* readTarget_ = nullptr;
    DCB lineSettings_{};
    DWORD lineErrors_ = 0;
    bool commWaitPending_ = false;
    bool readPending_ = false;
    bool stuck_ = false;
    std::vector<HANDLE> wakeHandles_;
    std::vector<HANDLE> waitHandles_;
};

class Win32SerialDevice final : public SerialDevice, private Win32OpenState {
public:
    Win32SerialDevice() = default;
    Win32SerialDevice(const Win32SerialDevice&) = delete;
    Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

    ~Win32SerialDevice() override {
        if (port_ != INVALID_HANDLE_VALUE) closePort();
        closeEvents();
    }

    bool open(const std::string& portName) override {
        // The requests still held are ones no driver owns any more.
        if (port_ != INVALID_HANDLE_VALUE) closePort();
        closeEvents();
        static_cast<Win32OpenState&>(*this) = Win32OpenState{};
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
    // included, with the four chosen fields replaced and the flags that
    // would drop bytes or stop the capture cleared.
    bool setLineSettings(const LineSettings& settings) override {
        lineSettings_.BaudRate = settings.baudRate;
        lineSettings_.ByteSize = settings.byteSize;
        lineSettings_.Parity = settings.parity;
        lineSettings_.StopBits = settings.stopBits;
        makeCommStateTransparent(lineSettings_);
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
        readRequest_ = newReadRequest();
        eventRequest_ = newEventRequest();
        return true;
    }

    void setWakeHandles(const std::vector<NativeHandle>& handles) override {
        wakeHandles_.clear();
        for (NativeHandle handle : handles) wakeHandles_.push_back(toHandle(handle));
        // What the event wait waits on, made once rather than every pass.
        waitHandles_ = wakeHandles_;
        waitHandles_.push_back(commEvent_);
        // The neighbours come after the port's own event, so that one that
        // floods cannot keep this port's event from being seen.
        for (HANDLE handle : peers_) waitHandles_.push_back(handle);
    }

    void setPeerHandles(const std::vector<NativeHandle>& handles) override {
        peers_.clear();
        for (NativeHandle handle : handles) peers_.push_back(toHandle(handle));
        std::vector<NativeHandle> wakes;
        for (HANDLE handle : wakeHandles_) wakes.push_back(reinterpret_cast<NativeHandle>(handle));
        setWakeHandles(wakes);
    }

    std::optional<NativeHandle> readyHandle() const override {
        if (commEvent_ == nullptr) return std::nullopt;
        return reinterpret_cast<NativeHandle>(commEvent_);
    }

    // Without an event wait outstanding, nothing signals the port's bytes.
    bool holdsInput() const override { return commEvent_ != nullptr && !commWaitPending_; }

    // The wake handles come first in the wait so that a key or a stop
    // request is noticed even while the port reports data without pause.
    // An event wait that is still pending when they fire stays pending and
    // is waited for again by the next call: only one may be outstanding.
    EventWait waitEvent(std::uint32_t& eventMask, std::uint32_t milliseconds) override {
        EventRequest& request = *eventRequest_;
        if (!commWaitPending_) {
            // A wait that completed at once left the event signalled.
            ResetEvent(commEvent_);
            request.mask = 0;
            if (WaitCommEvent(port_, &request.mask, &request.overlapped)) {
                eventMask = request.mask;
                return EventWait::Event;
            }
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) return failedWith(error);
            commWaitPending_ = true;
        }

        if (waitHandles_.empty()) setWakeHandles({});
        DWORD count = static_cast<DWORD>(waitHandles_.size());
        DWORD own = static_cast<DWORD>(wakeHandles_.size());
        // kWaitForever is INFINITE. The event wait stays pending for the next call.
        DWORD result = WaitForMultipleObjects(count, waitHandles_.data(), FALSE, milliseconds);
        if (result == WAIT_TIMEOUT) return EventWait::TimedOut;
        if (result == WAIT_FAILED) return failedWith(GetLastError());
        // The event wait stays pending for the next call.
        if (result < WAIT_OBJECT_0 + own) return EventWait::Woken;
        if (result > WAIT_OBJECT_0 + own && result < WAIT_OBJECT_0 + count) {
            return EventWait::Woken;
        }
        if (result != WAIT_OBJECT_0 + own) return failedWith(ERROR_INVALID_HANDLE);

        commWaitPending_ = false;
        DWORD unused = 0;
        if (!GetOverlappedResult(port_, &request.overlapped, &unused, FALSE)) {
            return failedWith(GetLastError());
        }
        // An empty mask (the wait was ended by a new mask or by the port
        // going away) is the reception pass's to judge.
        eventMask = request.mask;
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
        lineErrors_ = 0;
        if (!succeeded(ClearCommError(port_, &errors, &status))) return false;
        lineErrors_ = errors & kLostByteErrors;
        queuedBytes = status.cbInQue;
        return true;
    }

    std::uint32_t lineErrors() const override { return lineErrors_; }

    // A Windows serial driver signals EV_RXCHAR when bytes arrive, not
    // while they stay queued.
    bool reportsArrivalsOnly() const override { return true; }

    // The driver reads into the request's own buffer; the bytes are copied
    // out once it has finished with them.
    ReadStart startRead(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& count) override {
        // Reusing the read request while the port still owns it would let
        // the earlier read finish into it; end it first.
        if (readPending_) cancelRead();
        if (size > sizeof readRequest_->buffer) size = sizeof readRequest_->buffer;
        readTarget_ = buffer;
        DWORD received = 0;
        if (ReadFile(port_, readRequest_->buffer, size, &received, &readRequest_->overlapped)) {
            count = copyOut(received);
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
        // The message after a wait carries the code of the wait itself:
        // WAIT_TIMEOUT (258) sets no error of its own, and what the thread
        // still held would be the 997 of the read just started.
        switch (result) {
            case WAIT_OBJECT_0:
                return CompletionWait::Signalled;
            case WAIT_TIMEOUT:
                lastError_ = WAIT_TIMEOUT;
                return CompletionWait::TimedOut;
            case WAIT_FAILED:
                lastError_ = static_cast<int>(GetLastError());
                return CompletionWait::Failed;
            default:
                lastError_ = static_cast<int>(result);
                return CompletionWait::Other;
        }
    }

    bool readResult(std::uint32_t& count) override {
        DWORD received = 0;
        bool done = GetOverlappedResult(port_, &readRequest_->overlapped, &received, FALSE) != 0;
        if (!done) {
            DWORD error = GetLastError();
            lastError_ = static_cast<int>(error);
            if (error == ERROR_IO_INCOMPLETE) return false;
        }
        readPending_ = false;
        if (done) count = copyOut(received);
        return done;
    }

    // A cancelled read may still have delivered bytes: the count comes from
    // the completed request, and a read that ended with an error status
    // (cancelled, or the port gone) delivered none.
    std::uint32_t cancelRead() override {
        if (!readPending_) return 0;
        readPending_ = false;
        CancelIoEx(port_, &readRequest_->overlapped);
        if (WaitForSingleObject(readEvent_, kCancelWaitMs) != WAIT_OBJECT_0) {
            abandonRead();
            return 0;
        }
        DWORD received = 0;
        if (!GetOverlappedResult(port_, &readRequest_->overlapped, &received, FALSE)) return 0;
        return copyOut(received);
    }

    // Every pending request is cancelled and given a bounded time to end:
    // a driver whose device was pulled out may never end them, and q must
    // still end the program.
    bool closePort() override {
        if (port_ == INVALID_HANDLE_VALUE) return true;
        // A new event mask ends a pending event wait; CancelIoEx does not
        // reach it on every driver (Wine's serial wait ignores it).
        if (commWaitPending_) SetCommMask(port_, 0);
        if (commWaitPending_ || readPending_) CancelIoEx(port_, nullptr);
        // A driver that has already left a cancelled read unfinished is not
        // waited for again.
        DWORD deadline = GetTickCount() + (stuck_ ? 0 : kCancelWaitMs);
        if (commWaitPending_ && !signalledBy(commEvent_, deadline)) {
            static_cast<void>(eventRequest_.release());  // left to the driver, see abandonRead
            eventRequest_ = newEventRequest();
        }
        if (readPending_ && !signalledBy(readEvent_, deadline)) abandonRead();
        commWaitPending_ = false;
        readPending_ = false;
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
    // The neighbours' event handles; set by the capture again after a reopen.
    std::vector<HANDLE> peers_;

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

    std::uint32_t copyOut(DWORD received) {
        DWORD count =
            received < sizeof readRequest_->buffer ? received : sizeof readRequest_->buffer;
        std::memcpy(readTarget_, readRequest_->buffer, count);
        return static_cast<std::uint32_t>(count);
    }

    std::unique_ptr<ReadRequest> newReadRequest() const {
        auto request = std::make_unique<ReadRequest>();
        request->overlapped.hEvent = readEvent_;
        return request;
    }

    std::unique_ptr<EventRequest> newEventRequest() const {
        auto request = std::make_unique<EventRequest>();
        request->overlapped.hEvent = commEvent_;
        return request;
    }

    // The driver still owns a read it did not end in time and may finish
    // it whenever it likes: its record is left to it for the rest of the
    // process (a few hundred bytes, once per stuck request), and so is its
    // event, which a late completion would otherwise signal for a later
    // read. Closing the event's handle is safe: the pending request holds
    // the event itself.
    void abandonRead() {
        stuck_ = true;
        static_cast<void>(readRequest_.release());
        readPending_ = false;
        HANDLE fresh = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (fresh != nullptr) {
            CloseHandle(readEvent_);
            readEvent_ = fresh;
        }
        readRequest_ = newReadRequest();
    }

    void closeEvents() {
        if (readEvent_ != nullptr) CloseHandle(readEvent_);
        if (commEvent_ != nullptr) CloseHandle(commEvent_);
        readEvent_ = nullptr;
        commEvent_ = nullptr;
    }

    int lastError_ = 0;
};

}  // namespace

std::unique_ptr<SerialDevice> makePlatformDevice() { return std::make_unique<Win32SerialDevice>(); }

}  // namespace serialtap

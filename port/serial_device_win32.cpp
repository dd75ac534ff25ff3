// The serial port through the Win32 communications calls, opened for
// overlapped use so that the event wait can also watch the console and the
// stop request.
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "port/comm_marks.h"
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

// How long closing waits for the driver to end requests it was asked to
// cancel; a driver whose device was pulled out may never end them.
constexpr DWORD kCancelWaitMs = 1000;

// The line errors that lose received bytes.
constexpr DWORD kLostByteErrors = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;

// The portable code names the driver's events, errors and modem lines by
// their values.
static_assert(kEventRxChar == EV_RXCHAR && kEventCts == EV_CTS && kEventDsr == EV_DSR &&
                  kEventRlsd == EV_RLSD && kEventBreak == EV_BREAK && kEventErr == EV_ERR &&
                  kEventRing == EV_RING,
              "event bits");
static_assert(kErrorRxOver == CE_RXOVER && kErrorOverrun == CE_OVERRUN &&
                  kErrorParity == CE_RXPARITY && kErrorFrame == CE_FRAME && kErrorBreak == CE_BREAK,
              "error bits");
static_assert(kLineCts == MS_CTS_ON && kLineDsr == MS_DSR_ON && kLineRing == MS_RING_ON &&
                  kLineDcd == MS_RLSD_ON,
              "modem line bits");

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

// Everything one open of the port sets up and uses; every open starts from
// a fresh one: a reopened port keeps nothing of the one that was lost.
struct Win32OpenState {
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE readEvent = nullptr;
    HANDLE commEvent = nullptr;
    std::unique_ptr<ReadRequest> readRequest = std::make_unique<ReadRequest>();
    std::unique_ptr<EventRequest> eventRequest = std::make_unique<EventRequest>();
    std::uint8_t* readTarget = nullptr;
    DCB lineSettings{};
    DWORD lineErrors = 0;
    CommMarks marks;
    bool commWaitPending = false;
    bool readPending = false;
    bool stuck = false;
    // An event wait that ended as it was started, with its error if it failed.
    bool startedAtOnce = false;
    DWORD startError = 0;
};

class Win32SerialDevice final : public SerialDevice {
public:
    Win32SerialDevice() = default;
    Win32SerialDevice(const Win32SerialDevice&) = delete;
    Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

    ~Win32SerialDevice() override {
        if (open_.port != INVALID_HANDLE_VALUE) closePort();
        closeEvents();
    }

    bool open(const std::string& portName) override {
        // The requests still held are ones no driver owns any more.
        if (open_.port != INVALID_HANDLE_VALUE) closePort();
        closeEvents();
        open_ = Win32OpenState{};
        open_.marks.reset(watchLine_);
        open_.port = CreateFileA(devicePath(portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        return succeeded(open_.port != INVALID_HANDLE_VALUE);
    }

    bool setupQueues(std::uint32_t inputBytes, std::uint32_t outputBytes) override {
        return succeeded(SetupComm(open_.port, inputBytes, outputBytes));
    }

    bool getLineSettings(LineSettings& settings) override {
        open_.lineSettings = DCB{};
        open_.lineSettings.DCBlength = sizeof(DCB);
        if (!succeeded(GetCommState(open_.port, &open_.lineSettings))) return false;
        settings.baudRate = open_.lineSettings.BaudRate;
        settings.byteSize = open_.lineSettings.ByteSize;
        settings.parity = open_.lineSettings.Parity;
        settings.stopBits = open_.lineSettings.StopBits;
        return true;
    }

    // Writes back the settings as the port reported them, flow control
    // included, with the four chosen fields replaced and the flags that
    // would drop bytes or stop the capture cleared.
    bool setLineSettings(const LineSettings& settings) override {
        open_.lineSettings.BaudRate = settings.baudRate;
        open_.lineSettings.ByteSize = settings.byteSize;
        open_.lineSettings.Parity = settings.parity;
        open_.lineSettings.StopBits = settings.stopBits;
        makeCommStateTransparent(open_.lineSettings);
        if (watchLine_) checkParityOfWatchedLine(open_.lineSettings);
        return succeeded(SetCommState(open_.port, &open_.lineSettings));
    }

    bool getTimeouts(Timeouts& timeouts) override {
        COMMTIMEOUTS current{};
        if (!succeeded(GetCommTimeouts(open_.port, &current))) return false;
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
        return succeeded(SetCommTimeouts(open_.port, &wanted));
    }

    bool setEventMask(std::uint32_t mask) override {
        return succeeded(SetCommMask(open_.port, mask));
    }

    bool purge(std::uint32_t flags) override { return succeeded(PurgeComm(open_.port, flags)); }

    // Besides the auto-reset event that completed reads signal, the event
    // wait needs a manual-reset event of its own: an overlapped handle does
    // not accept a WaitCommEvent without an OVERLAPPED record.
    bool createEvent() override {
        open_.readEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!succeeded(open_.readEvent != nullptr)) return false;
        open_.commEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!succeeded(open_.commEvent != nullptr)) {
            CloseHandle(open_.readEvent);
            open_.readEvent = nullptr;
            return false;
        }
        open_.readRequest = newReadRequest();
        open_.eventRequest = newEventRequest();
        if (watchLine_) startWatching();
        return true;
    }

    // The event wait is started before the capture waits, so that its
    // event is what the wait watches; only one may be outstanding, and one
    // that is still pending when the capture's wait ends stays pending.
    void addSources(WaitSet& set, std::size_t port) override {
        if (open_.commEvent == nullptr) return;
        if (!open_.commWaitPending && !open_.startedAtOnce) startEventWait();
        if (open_.startedAtOnce) set.serveNow();
        set.add(SourceName::Port, port, reinterpret_cast<NativeHandle>(open_.commEvent));
    }

    EventWait waitEvent(std::uint32_t& eventMask) override {
        EventRequest& request = *open_.eventRequest;
        if (!open_.commWaitPending && !open_.startedAtOnce) startEventWait();
        if (open_.startedAtOnce) {
            open_.startedAtOnce = false;
            if (open_.startError != 0) return failedWith(open_.startError);
            eventMask = request.mask;
            noteModemLines(eventMask);
            return EventWait::Event;
        }
        DWORD result = WaitForSingleObject(open_.commEvent, 0);
        if (result == WAIT_TIMEOUT) return EventWait::Nothing;
        if (result != WAIT_OBJECT_0) return failedWith(GetLastError());
        open_.commWaitPending = false;
        DWORD unused = 0;
        if (!GetOverlappedResult(open_.port, &request.overlapped, &unused, FALSE)) {
            return failedWith(GetLastError());
        }
        // An empty mask (the wait was ended by a new mask or by the port
        // going away) is the reception pass's to judge.
        eventMask = request.mask;
        noteModemLines(eventMask);
        return EventWait::Event;
    }

    bool clearErrors(std::uint32_t& queuedBytes) override {
        DWORD errors = 0;
        COMSTAT status{};
        open_.lineErrors = 0;
        if (!succeeded(ClearCommError(open_.port, &errors, &status))) return false;
        open_.lineErrors = errors & kLostByteErrors;
        // The driver tells no byte an error came with: the marks stand
        // before the bytes read next, and a break's 0x00 stays among them
        // (see CommMarks).
        open_.marks.noteErrors(errors);
        queuedBytes = status.cbInQue;
        return true;
    }

    std::uint32_t lineErrors() const override { return open_.lineErrors; }

    void watchLine(bool on) override { watchLine_ = on; }
    void takeMarks(std::vector<LineMark>& marks) override { open_.marks.take(marks); }
    // A watched line's lines as its marks last told them; otherwise asked now.
    std::optional<std::uint32_t> modemLines() override {
        if (open_.marks.watching()) return open_.marks.lines();
        if (open_.port == INVALID_HANDLE_VALUE) return std::nullopt;
        return modemStatus();
    }
    DropCount dropped() override { return open_.marks.dropped(); }

    // A Windows serial driver signals EV_RXCHAR when bytes arrive, not
    // while they stay queued.
    bool reportsArrivalsOnly() const override { return true; }

    // The driver reads into the request's own buffer; the bytes are copied
    // out once it has finished with them.
    ReadStart startRead(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& count) override {
        // Reusing the read request while the port still owns it would let
        // the earlier read finish into it; end it first.
        if (open_.readPending) cancelRead();
        if (size > sizeof open_.readRequest->buffer) size = sizeof open_.readRequest->buffer;
        open_.readTarget = buffer;
        DWORD received = 0;
        if (ReadFile(open_.port, open_.readRequest->buffer, size, &received,
                     &open_.readRequest->overlapped)) {
            count = copyOut(received);
            return ReadStart::Completed;
        }
        DWORD error = GetLastError();
        lastError_ = static_cast<int>(error);
        if (error != ERROR_IO_PENDING) return ReadStart::Failed;
        open_.readPending = true;
        return ReadStart::Pending;
    }

    CompletionWait waitRead(std::uint32_t milliseconds) override {
        DWORD result = WaitForSingleObject(open_.readEvent, milliseconds);
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
        bool done =
            GetOverlappedResult(open_.port, &open_.readRequest->overlapped, &received, FALSE) != 0;
        if (!done) {
            DWORD error = GetLastError();
            lastError_ = static_cast<int>(error);
            if (error == ERROR_IO_INCOMPLETE) return false;
        }
        open_.readPending = false;
        if (done) count = copyOut(received);
        return done;
    }

    // A cancelled read may still have delivered bytes: the count comes from
    // the completed request, and a read that ended with an error status
    // (cancelled, or the port gone) delivered none.
    std::uint32_t cancelRead() override {
        if (!open_.readPending) return 0;
        open_.readPending = false;
        CancelIoEx(open_.port, &open_.readRequest->overlapped);
        if (WaitForSingleObject(open_.readEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
            abandonRead();
            return 0;
        }
        DWORD received = 0;
        if (!GetOverlappedResult(open_.port, &open_.readRequest->overlapped, &received, FALSE))
            return 0;
        return copyOut(received);
    }

    // Every pending request is cancelled and given a bounded time to end:
    // a driver whose device was pulled out may never end them, and q must
    // still end the program.
    bool closePort() override {
        if (open_.port == INVALID_HANDLE_VALUE) return true;
        // A new event mask ends a pending event wait; CancelIoEx does not
        // reach it on every driver (Wine's serial wait ignores it).
        if (open_.commWaitPending) SetCommMask(open_.port, 0);
        if (open_.commWaitPending || open_.readPending) CancelIoEx(open_.port, nullptr);
        // A driver that has already left a cancelled read unfinished is not
        // waited for again.
        DWORD deadline = GetTickCount() + (open_.stuck ? 0 : kCancelWaitMs);
        if (open_.commWaitPending && !signalledBy(open_.commEvent, deadline)) {
            static_cast<void>(open_.eventRequest.release());  // left to the driver, see abandonRead
            open_.eventRequest = newEventRequest();
        }
        if (open_.readPending && !signalledBy(open_.readEvent, deadline)) abandonRead();
        open_.commWaitPending = false;
        open_.readPending = false;
        HANDLE port = open_.port;
        open_.port = INVALID_HANDLE_VALUE;
        return succeeded(CloseHandle(port));
    }

    bool closeEvent() override {
        HANDLE event = open_.readEvent;
        open_.readEvent = nullptr;
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
    // What the driver held before the capture began is not the capture's:
    // the errors of the setup (bytes received at the old settings, a
    // previous program's) are cleared, and the modem lines now are the
    // state later changes are told against.
    void startWatching() {
        DWORD errors = 0;
        COMSTAT status{};
        ClearCommError(open_.port, &errors, &status);
        open_.marks.startLines(modemStatus());
    }

    std::optional<std::uint32_t> modemStatus() {
        DWORD lines = 0;
        if (!GetCommModemStatus(open_.port, &lines)) return std::nullopt;
        return static_cast<std::uint32_t>(lines);
    }

    // A port without modem lines fails the status request; its events, if
    // it gives any, change nothing.
    void noteModemLines(std::uint32_t eventMask) {
        if (!open_.marks.asksModemStatus(eventMask)) return;
        std::optional<std::uint32_t> lines = modemStatus();
        if (lines) open_.marks.noteModemLines(*lines);
    }

    void startEventWait() {
        EventRequest& request = *open_.eventRequest;
        // A wait that completed at once left the event signalled.
        ResetEvent(open_.commEvent);
        request.mask = 0;
        open_.startError = 0;
        if (WaitCommEvent(open_.port, &request.mask, &request.overlapped)) {
            open_.startedAtOnce = true;
            return;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            open_.commWaitPending = true;
            return;
        }
        open_.startedAtOnce = true;
        open_.startError = error == 0 ? ERROR_GEN_FAILURE : error;
    }

    Win32OpenState open_;

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
        DWORD count = received < sizeof open_.readRequest->buffer
                          ? received
                          : sizeof open_.readRequest->buffer;
        std::memcpy(open_.readTarget, open_.readRequest->buffer, count);
        open_.marks.advance(count);
        return static_cast<std::uint32_t>(count);
    }

    std::unique_ptr<ReadRequest> newReadRequest() const {
        auto request = std::make_unique<ReadRequest>();
        request->overlapped.hEvent = open_.readEvent;
        return request;
    }

    std::unique_ptr<EventRequest> newEventRequest() const {
        auto request = std::make_unique<EventRequest>();
        request->overlapped.hEvent = open_.commEvent;
        return request;
    }

    // The driver still owns a read it did not end in time and may finish
    // it whenever it likes: its record is left to it for the rest of the
    // process (a few hundred bytes, once per stuck request), and so is its
    // event, which a late completion would otherwise signal for a later
    // read. Closing the event's handle is safe: the pending request holds
    // the event itself.
    void abandonRead() {
        open_.stuck = true;
        static_cast<void>(open_.readRequest.release());
        open_.readPending = false;
        HANDLE fresh = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (fresh != nullptr) {
            CloseHandle(open_.readEvent);
            open_.readEvent = fresh;
        }
        open_.readRequest = newReadRequest();
    }

    void closeEvents() {
        if (open_.readEvent != nullptr) CloseHandle(open_.readEvent);
        if (open_.commEvent != nullptr) CloseHandle(open_.commEvent);
        open_.readEvent = nullptr;
        open_.commEvent = nullptr;
    }

    int lastError_ = 0;
    bool watchLine_ = false;
};

}  // namespace

std::unique_ptr<SerialDevice> makePlatformDevice() { return std::make_unique<Win32SerialDevice>(); }

}  // namespace serialtap

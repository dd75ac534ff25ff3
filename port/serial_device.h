#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace serialtap {

// A file descriptor on POSIX, a HANDLE on Windows.
using NativeHandle = std::intptr_t;

constexpr int kErrorIoPending = 997;
// The code reported for an event wait that ended without an event: the
// wait was cancelled, or the port went away under it.
constexpr int kErrorOperationAborted = 995;
constexpr std::uint32_t kEventRxChar = 0x0001;
constexpr std::uint32_t kPurgeAll = 0x000F;
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
// A wait without a time limit.
constexpr std::uint32_t kWaitForever = kMaxDword;

// The four line settings the program chooses; every other setting of the
// port is kept by the device as the port reported it.
struct LineSettings {
    std::uint32_t baudRate = 0;
    std::uint8_t byteSize = 0;
    std::uint8_t parity = 0;
    std::uint8_t stopBits = 0;
};

struct Timeouts {
    std::uint32_t readInterval = 0;
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 0;
    std::uint32_t writeTotalMultiplier = 0;
    std::uint32_t writeTotalConstant = 0;
};

enum class EventWait {
    Event,     // the port reported events; the mask says which
    Woken,     // one of the wake handles became ready first
    Failed,    // lastError() tells why
    TimedOut,  // the time limit passed first
};

enum class WakeWait { Woken, TimedOut };

enum class ReadStart { Completed, Pending, Failed };

enum class CompletionWait { Signalled, TimedOut, Failed, Other };

// A port that could be opened but must not be used: capturing it would
// configure the user's own terminal or send the capture into the device.
// Stopped: the user stopped the program while the setup was waiting.
enum class PortRefusal { None, OwnTerminal, CaptureFile, Stopped };

// Where a failure happened, for telling a port that is gone from one that
// merely failed.
enum class FailedCall {
    Open,         // any step of opening and setting up the port
    WaitEvent,    // the event wait of a pass
    ClearErrors,  // the queue count of a pass
    Read,         // the read of a pass or its completion
};

// The operations the port setup and the reception pass are made of. Each
// platform maps them onto its own calls; tests script them. A failing call
// returns false (or Failed) and leaves its code for lastError().
class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    virtual bool open(const std::string& portName) = 0;
    // Why the last open failed although the port could be opened.
    virtual PortRefusal refusal() const { return PortRefusal::None; }
    // The device's own message for the last failed open (a server's
    // refusal, say); empty when the usual message applies.
    virtual std::string refusalMessage() const { return {}; }
    // A notice the last open left for the user (a server that alters the
    // data, say), given once; empty when there is none.
    virtual std::string takeNotice() { return {}; }
    // For a device whose setup waits (a network port connecting): the wake
    // handles to watch meanwhile, and what to ask when one is ready; true
    // ends the setup with the refusal Stopped.
    virtual void setOpenInterrupt(const std::vector<NativeHandle>& /*handles*/,
                                  const std::function<bool()>& /*stopNow*/) {}
    // The capture file, which the port opened later must not be.
    virtual void avoidFile(NativeHandle /*file*/) {}
    virtual bool setupQueues(std::uint32_t inputBytes, std::uint32_t outputBytes) = 0;
    virtual bool getLineSettings(LineSettings& settings) = 0;
    virtual bool setLineSettings(const LineSettings& settings) = 0;
    virtual bool getTimeouts(Timeouts& timeouts) = 0;
    virtual bool setTimeouts(const Timeouts& timeouts) = 0;
    virtual bool setEventMask(std::uint32_t mask) = 0;
    virtual bool purge(std::uint32_t flags) = 0;
    virtual bool createEvent() = 0;

    // Handles (console input, stop signal) that end an event wait early.
    virtual void setWakeHandles(const std::vector<NativeHandle>& handles) = 0;
    // A handle that ends the waits as soon as it can be written to (the
    // capture file, while its reader is behind); none to stop. False when
    // the device cannot wait for that.
    virtual bool setWritableWake(std::optional<NativeHandle> /*handle*/) { return false; }
    // The other ports of a capture of several: their readiness ends this
    // port's event wait as a wake handle's does, though only after its own
    // events, so that a busy neighbour cannot starve it.
    virtual void setPeerHandles(const std::vector<NativeHandle>& /*handles*/) {}
    // What a neighbour's wait waits on to learn that this port has bytes;
    // none when it cannot be waited for.
    virtual std::optional<NativeHandle> readyHandle() const { return std::nullopt; }
    // Whether the port has bytes (or an event) that its readyHandle will
    // not signal, so that a neighbour's wait must not wait.
    virtual bool holdsInput() const { return false; }
    // Waits until the port reports an event in the mask or a wake handle
    // is ready, or at most the given time (kWaitForever: no limit).
    virtual EventWait waitEvent(std::uint32_t& eventMask, std::uint32_t milliseconds) = 0;
    // Whether a wake handle was ready when the last wait ended; true when
    // the device cannot tell, which only costs a look at the console.
    virtual bool wakeReady() const { return true; }
    // Waits for the wake handles alone, at most the given time.
    virtual WakeWait waitWake(std::uint32_t milliseconds) = 0;
    // Clears line errors and tells how many bytes are queued.
    virtual bool clearErrors(std::uint32_t& queuedBytes) = 0;
    // The line errors that lost bytes (overrun, framing, parity) which the
    // last clearErrors found, as the platform's error word; 0 for none.
    virtual std::uint32_t lineErrors() const { return 0; }
    // False for a device whose event wait reports received bytes for as
    // long as any are queued, as poll does. True for one that behaves as a
    // Windows serial driver: an event reports bytes as they arrive, so bytes
    // left queued after a read are never reported again; and a line error
    // can fail every later request until the errors are cleared.
    virtual bool reportsArrivalsOnly() const { return false; }
    virtual ReadStart startRead(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& count) = 0;
    virtual CompletionWait waitRead(std::uint32_t milliseconds) = 0;
    virtual bool readResult(std::uint32_t& count) = 0;
    // Ends a read that is still pending and waits until the port no longer
    // owns the buffer; gives the number of bytes it delivered before that.
    virtual std::uint32_t cancelRead() = 0;
    // Bytes the port holds that no read has returned yet, for the shutdown
    // to keep; at most size of them a call, none when nothing is left.
    virtual std::uint32_t takeBuffered(std::uint8_t* /*buffer*/, std::uint32_t /*size*/) {
        return 0;
    }

    virtual bool closePort() = 0;
    virtual bool closeEvent() = 0;
    virtual int lastError() const = 0;

    // Whether the port, once gone, may be opened again by the name it was
    // opened by. Not so a pseudo-terminal named by its own path: one that
    // hung up never comes back, and its number soon names another
    // terminal. Through a link, which its maker points at the next one, it may.
    virtual bool reopenable() const { return true; }

    // Whether a call that failed with this code means the port is gone (an
    // adapter unplugged), or for Open that there is no such port now.
    // inARow counts the passes in a row that failed with this same code.
    virtual bool isGone(FailedCall /*call*/, int /*code*/, int /*inARow*/) const { return false; }
};

// The device of the platform the program is built for.
std::unique_ptr<SerialDevice> makePlatformDevice();

}  // namespace serialtap

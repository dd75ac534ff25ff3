#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "port/line_event.h"
#include "port/wait_set.h"

namespace serialtap {

constexpr int kErrorIoPending = 997;
// The code reported for an event wait that ended without an event: the
// wait was cancelled, or the port went away under it.
constexpr int kErrorOperationAborted = 995;
constexpr std::uint32_t kEventRxChar = 0x0001;
// The events a port that marks what its line does waits for besides
// received characters: modem lines, break, line errors, ring.
constexpr std::uint32_t kEventCts = 0x0008;
constexpr std::uint32_t kEventDsr = 0x0010;
constexpr std::uint32_t kEventRlsd = 0x0020;
constexpr std::uint32_t kEventBreak = 0x0040;
constexpr std::uint32_t kEventErr = 0x0080;
constexpr std::uint32_t kEventRing = 0x0100;
constexpr std::uint32_t kLineEventMask =
    kEventCts | kEventDsr | kEventRlsd | kEventBreak | kEventErr | kEventRing;
// The line errors of the Windows error word.
constexpr std::uint32_t kErrorRxOver = 0x0001;
constexpr std::uint32_t kErrorOverrun = 0x0002;
constexpr std::uint32_t kErrorParity = 0x0004;
constexpr std::uint32_t kErrorFrame = 0x0008;
constexpr std::uint32_t kErrorBreak = 0x0010;
constexpr std::uint32_t kPurgeAll = 0x000F;

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
    Event,    // the port reported events; the mask says which
    Failed,   // lastError() tells why
    Nothing,  // no event yet
};

enum class ReadStart { Completed, Pending, Failed };

enum class CompletionWait { Signalled, TimedOut, Failed, Other };

// A port that could be opened but must not be used: capturing it would
// configure the user's own terminal or send the capture into the device.
enum class PortRefusal { None, OwnTerminal, CaptureFile };

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
    // The last call of the setup (open, setLineSettings, purge) has not
    // finished: a device whose setup waits (a network port connecting) goes
    // on with it when the call is made again, once the sources it adds to
    // the wait are ready or its deadline has passed.
    virtual bool pending() const { return false; }
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

    // What the device waits on now, added to the capture's one wait under
    // the port's index: its handle, and while its setup goes on that step's
    // deadline. A device that holds bytes or an event it has not reported
    // asks the round to serve it without waiting.
    virtual void addSources(WaitSet& set, std::size_t port) = 0;
    // What the wait found of the sources it added.
    virtual void sourcesFound(const WaitSet& /*set*/) {}
    // Whether the device has taken in bytes that no read has returned yet.
    virtual bool holdsBytes() const { return false; }
    // Never waits: reports what the last wait found of the port, or what
    // the device holds.
    virtual EventWait waitEvent(std::uint32_t& eventMask) = 0;
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
    // Whether the port marks what its line does besides sending bytes,
    // given before open(): breaks (then no 0x00 byte stands for one),
    // framing and parity errors, bytes the system dropped and modem-line
    // changes, each as a mark among the bytes its reads return. Without it
    // the device works exactly as it always did.
    virtual void watchLine(bool /*on*/) {}
    // Adds the marks found since the last call, placed among the bytes the
    // reads returned since then (LineMark::at).
    virtual void takeMarks(std::vector<LineMark>& /*marks*/) {}
    // The modem lines now; none for a port that has none (a
    // pseudo-terminal, a raw TCP port).
    virtual std::optional<std::uint32_t> modemLines() { return std::nullopt; }
    // What the system reports dropped on the port since it was opened,
    // whether or not the line is watched.
    virtual DropCount dropped() { return {}; }
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

#include "app/capture_run.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/captured_port.h"
#include "app/deadlines.h"
#include "app/message_path.h"
#include "app/reconnect.h"
#include "app/stop_conditions.h"
#include "app/terminal.h"
#include "app/write_out_timer.h"
#include "capture/capture_file.h"
#include "capture/rotating_sink.h"
#include "port/network_device.h"
#include "port/serial_port.h"

namespace serialtap {

namespace {

std::vector<NativeHandle> wakeHandles(const CaptureParts& parts) {
    std::vector<NativeHandle> handles;
    if (parts.console != nullptr) {
        if (auto handle = parts.console->wakeHandle()) handles.push_back(*handle);
    }
    if (parts.stop != nullptr) handles.push_back(parts.stop->wakeHandle());
    return handles;
}

std::optional<NativeHandle> consoleHandle(const CaptureParts& parts) {
    if (parts.console == nullptr) return std::nullopt;
    return parts.console->wakeHandle();
}

// The clocks are read only for a capture that stamps its lines or splits
// them at pauses.
ClockReading clockReading(const CaptureParts& parts) {
    const CaptureOptions& options = parts.options;
    bool wanted = options.timeStamps != TimeStamps::None || options.gapMs > 0;
    return wanted ? parts.clock() : ClockReading{};
}

using Ports = std::vector<std::unique_ptr<CapturedPort>>;

std::vector<std::string> labelsOf(const Ports& ports) {
    std::vector<std::string> labels;
    for (const auto& port : ports) labels.push_back(port->label());
    return labels;
}

// Everything a pass received goes to the file, to the view and past the
// stop texts; true when a stop text has arrived.
class Recorder {
public:
    Recorder(CaptureFile& file, StopConditions& stops, WriteOutTimer& writeOut,
             const CaptureParts& parts, CaptureView& view)
        : file_(file), stops_(stops), writeOut_(writeOut), parts_(parts), view_(view) {}

    bool record(std::size_t port, const Reception& pass, bool clockRead, Clock::time_point now) {
        file_.writeBytesFrom(port, pass.data, pass.size, clockReading(parts_));
        view_.received(pass.data, pass.size, port);
        if (clockRead) {
            stops_.heardAt(now);
            if (writeOut_.active()) writeOut_.stored(file_, now);
        }
        return stops_.received(pass.data, pass.size, port);
    }

private:
    CaptureFile& file_;
    StopConditions& stops_;
    WriteOutTimer& writeOut_;
    const CaptureParts& parts_;
    CaptureView& view_;
};

// Bytes a pipe, FIFO or terminal capture file has not taken yet go out as
// soon as its reader takes more: the wait ends when the file can take
// bytes, or, where the device cannot wait for that, a little later.
class KeptBytes {
public:
    static constexpr std::chrono::milliseconds kRetry{20};

    explicit KeptBytes(CaptureFile& file) : file_(file) {}

    // The port whose wait is the capture's one wait.
    void beforeWait(Deadlines& due, SerialPort& port) {
        bool wanted = file_.waitsForReader();
        if (&port != port_) {
            if (port_ != nullptr && waiting_) port_->setWritableWake(std::nullopt);
            port_ = &port;
            waiting_ = false;
        }
        if (wanted != waiting_) {
            waiting_ = wanted;
            std::optional<NativeHandle> handle;
            if (wanted) handle = file_.handle();
            deviceWaits_ = port.setWritableWake(handle);
        }
        if (waiting_ && !deviceWaits_) due.add(Clock::now() + kRetry);
    }
    void afterWait() {
        if (waiting_) file_.writeKept();
    }

private:
    CaptureFile& file_;
    SerialPort* port_ = nullptr;
    bool waiting_ = false;
    bool deviceWaits_ = false;
};

// The capture loop: each round waits once, on the first port that is
// there with every other port, the console and the stop signals, then
// reads every port that has bytes, in turn, and runs the timers. It ends
// at q, a stop request or a stop condition, and gives the exit status the
// stop calls for; it leaves each port open, or closed while it is away.
class CaptureLoop {
public:
    // A read of 4096 bytes from the system makes this many passes.
    static constexpr std::size_t kPassesInARow = 4096 / SerialPort::kMaxReadBytes + 1;

    CaptureLoop(Ports& ports, CaptureFile& file, RotatingSink* rotation, const CaptureParts& parts,
                CaptureView& view, MessagePath& messages, const bool& stoppedInSetup)
        : ports_(ports),
          file_(file),
          rotation_(rotation),
          stoppedInSetup_(stoppedInSetup),
          parts_(parts),
          view_(view),
          messages_(messages),
          several_(ports.size() > 1),
          stops_(parts.options, Clock::now(), ports.size()),
          writeOut_(parts.options.flushMs),
          recorder_(file, stops_, writeOut_, parts, view),
          kept_(file) {}

    int run();

private:
    CapturedPort& waiter();
    std::uint32_t waitLimit(const Deadlines& due, const CapturedPort& waiter) const;
    void joinWaits(CapturedPort& waiter);
    // Takes what one pass gave; false when the capture is to end.
    bool take(CapturedPort& port, const Reception& pass, bool clockRead, Clock::time_point now);
    // What the passes of a round saw of the wake handles.
    struct Wakes {
        bool woken;
        bool keyTestDue;
        void add(const Reception& pass) {
            woken = woken || pass.woken;
            keyTestDue = keyTestDue && pass.keyTestDue;
        }
    };
    // With several ports, the rest of what a port read from the system at
    // once is taken at once, before the next port's bytes.
    bool takeHeld(CapturedPort& port, bool clockRead, Clock::time_point now, Wakes& wakes);
    bool runTimers(Clock::time_point now);
    void wakeHandlesChanged();

    Ports& ports_;
    CaptureFile& file_;
    RotatingSink* rotation_;
    // Set when q or a stop request came while a reopen was waiting.
    const bool& stoppedInSetup_;
    const CaptureParts& parts_;
    CaptureView& view_;
    MessagePath& messages_;
    const bool several_;
    StopConditions stops_;
    WriteOutTimer writeOut_;
    Recorder recorder_;
    KeptBytes kept_;
    std::vector<NativeHandle> handles_;
    CapturedPort* peered_ = nullptr;
    std::vector<NativeHandle> peers_;
    std::vector<NativeHandle> peersFound_;
    bool stopped_ = false;
};

// The first port that is there and whose passes do not fail waits for
// the others (a failing one pauses between its passes); with none there,
// the first one waits for the wake handles alone.
CapturedPort& CaptureLoop::waiter() {
    CapturedPort* present = nullptr;
    for (auto& port : ports_) {
        if (!port->present()) continue;
        if (!port->port().failing()) return *port;
        if (present == nullptr) present = port.get();
    }
    return present != nullptr ? *present : *ports_.front();
}

// A neighbour that holds bytes must be read without waiting.
std::uint32_t CaptureLoop::waitLimit(const Deadlines& due, const CapturedPort& waiter) const {
    if (several_) {
        for (const auto& port : ports_) {
            if (port.get() != &waiter && port->present() && port->port().holdsInput()) return 0;
        }
    }
    return due.waitLimit();
}

// The waiting port's wait takes in the neighbours that are there and
// whose passes do not fail (a hung-up port is always ready).
void CaptureLoop::joinWaits(CapturedPort& waiter) {
    if (!several_) return;
    // Kept from round to round: most rounds find the same peers.
    std::vector<NativeHandle>& peers = peersFound_;
    peers.clear();
    if (waiter.present()) {
        for (auto& port : ports_) {
            if (port.get() == &waiter || !port->present() || port->port().failing()) continue;
            if (auto handle = port->port().readyHandle()) peers.push_back(*handle);
        }
    }
    if (&waiter == peered_ && peers == peers_) return;
    if (peered_ != nullptr && peered_ != &waiter) peered_->port().setPeerHandles({});
    peered_ = &waiter;
    peers_ = peers;
    waiter.port().setPeerHandles(peers_);
}

bool CaptureLoop::take(CapturedPort& port, const Reception& pass, bool clockRead,
                       Clock::time_point now) {
    if (pass.size > 0 && recorder_.record(port.index(), pass, clockRead, now)) return false;
    // As a pipe ends the tools that write into it: the capture has no
    // reader left, and its failed write has been reported.
    if (file_.readerGone()) return false;
    if (pass.gone && !port.reconnect().enabled()) port.reconnect().staysLost();
    if (pass.gone && port.reconnect().enabled()) {
        // Bytes the device had taken in before it went are kept.
        for (Reception rest = port.port().takeBuffered(); rest.size > 0;
             rest = port.port().takeBuffered()) {
            if (recorder_.record(port.index(), rest, clockRead, now)) return false;
        }
        stops_.bytesLost(port.index());
        port.reconnect().lose(now);
        port.port().setWakeHandles(handles_);
    }
    return true;
}

bool CaptureLoop::takeHeld(CapturedPort& port, bool clockRead, Clock::time_point now,
                           Wakes& wakes) {
    for (std::size_t passes = 1; several_ && passes < kPassesInARow; ++passes) {
        if (!port.present() || !port.port().holdsInput()) break;
        Reception pass = port.port().receive(0);
        wakes.add(pass);
        if (!take(port, pass, clockRead, now)) return false;
    }
    return true;
}

bool CaptureLoop::runTimers(Clock::time_point now) {
    if (stops_.timeIsUp(now)) return false;
    writeOut_.writeOutIfDue(file_, now);
    if (rotation_ != nullptr) {
        rotation_->rotateIfDue();
        // A port, when it is opened again, is told from the live file.
        for (auto& port : ports_) port->device().avoidFile(file_.handle());
    }
    for (auto& port : ports_) {
        if (port->reconnect().tryIfDue(now)) port->port().setWakeHandles(handles_);
    }
    return !stoppedInSetup_;
}

void CaptureLoop::wakeHandlesChanged() {
    handles_ = wakeHandles(parts_);
    for (auto& port : ports_) port->port().setWakeHandles(handles_);
}

int CaptureLoop::run() {
    wakeHandlesChanged();
    std::optional<NativeHandle> console = consoleHandle(parts_);
    file_.begin(clockReading(parts_));
    const bool timed = stops_.timed() || writeOut_.active() || rotation_ != nullptr;
    int lastKey = '0';
    while (lastKey != kStopKey) {
        Deadlines due;
        due.add(stops_.nextDeadline());
        due.add(writeOut_.deadline());
        for (auto& port : ports_) {
            due.add(port->reconnect().nextTry());
            if (several_ && port->present()) due.add(port->port().nextPassDue());
        }
        due.add(view_.nextRedraw());
        CapturedPort& first = waiter();
        if (rotation_ != nullptr) due.add(rotation_->deadline());
        // What the rounds before read in a row goes to the file before a
        // round that may wait; the write timer learns of what that made
        // unsynced. A port that holds bytes is read without waiting.
        const bool mayWait = !(first.present() && first.port().holdsInput()) &&
                             waitLimit(due, first) != 0;
        if (several_ && mayWait && file_.writeGathered() && writeOut_.active()) {
            writeOut_.stored(file_, Clock::now());
        }
        kept_.beforeWait(due, first.port());
        joinWaits(first);
        Reception pass;
        if (first.present()) {
            pass = first.port().receive(waitLimit(due, first));
        } else {
            pass.woken = first.port().waitWake(due.waitLimit()) == WakeWait::Woken;
        }
        // Without a timer, the clock is not read at all.
        bool clockRead = several_ || timed || due.any() || pass.gone;
        Clock::time_point now = clockRead ? Clock::now() : Clock::time_point{};
        kept_.afterWait();
        if (several_) file_.gatherWriteOuts();
        Wakes wakes{pass.woken, pass.keyTestDue};
        if (!take(first, pass, clockRead, now) || !takeHeld(first, clockRead, now, wakes)) break;
        // The others are read in turn, without waiting.
        for (auto& port : ports_) {
            if (port.get() == &first || !port->present()) continue;
            Reception more = port->port().receive(0);
            wakes.add(more);
            if (!take(*port, more, clockRead, now) || !takeHeld(*port, clockRead, now, wakes)) {
                stopped_ = true;
                break;
            }
        }
        if (stopped_) break;
        const bool woken = wakes.woken;
        const bool keyTestDue = wakes.keyTestDue;
        if (clockRead && !runTimers(now)) break;
        view_.redraw();
        messages_.retry();
        // Without a ready wake handle no key and no stop request can be waiting.
        if (!woken) continue;
        if (parts_.stop != nullptr && parts_.stop->requested()) break;
        if (keyTestDue && parts_.console != nullptr && parts_.console->keyWaiting()) {
            lastKey = parts_.console->readKey();
        }
        // A console that went away (a hung-up terminal) leaves the wait set.
        std::optional<NativeHandle> current = consoleHandle(parts_);
        if (current != console) {
            console = current;
            wakeHandlesChanged();
        }
    }
    return stops_.exitStatus();
}

CaptureView viewFor(View view, const std::string& heading, StatusDisplay& display) {
    switch (view) {
        case View::StatusLine:
            return CaptureView(
                std::make_unique<StatusLine>(heading, display, standardErrorIsTerminal(),
                                             [] { return StatusLine::Clock::now(); }));
        case View::Bytes:
            return CaptureView(standardStream(StandardStream::Output));
        case View::Nothing:
            break;
    }
    return CaptureView();
}

// Opens and sets up every port, in the order given; false after the
// first failure's message.
bool openPorts(const PortSettings& settings, const CaptureParts& parts, CaptureFile& file,
               MessagePath& messages, Ports& ports, const std::function<bool()>& interrupted) {
    std::vector<std::string> names{settings.portName};
    names.insert(names.end(), parts.options.morePorts.begin(), parts.options.morePorts.end());
    const bool several = names.size() > 1;
    std::vector<std::string> labels;
    for (std::size_t i = 0; i < names.size(); ++i) {
        PortSettings own = settings;
        own.portName = names[i];
        std::unique_ptr<SerialDevice> owned;
        if (i > 0) owned = parts.makeDevice ? parts.makeDevice(names[i]) : makeDeviceFor(names[i]);
        SerialDevice& device = i == 0 ? parts.device : *owned;
        ports.push_back(std::make_unique<CapturedPort>(device, std::move(owned), parts.messages,
                                                       own, i, parts.options.reconnect));
        CapturedPort& port = *ports.back();
        port.sendMessagesTo(messages, several);
        device.avoidFile(file.handle());
        device.setOpenInterrupt(wakeHandles(parts), interrupted);
        if (!port.open()) return false;
        labels.push_back(port.label());
    }
    file.setSources(labels);
    return true;
}

// Bytes the ports already hold are part of the capture too; then each
// port that is there is closed, with its messages.
void closePorts(Ports& ports, CaptureFile& file, const CaptureParts& parts, CaptureView& view,
                MessagePath& messages) {
    for (auto& port : ports) {
        if (!port->present()) continue;
        for (Reception rest = port->port().takeBuffered(); rest.size > 0;
             rest = port->port().takeBuffered()) {
            file.writeBytesFrom(port->index(), rest.data, rest.size, clockReading(parts));
            view.received(rest.data, rest.size, port->index());
        }
    }
    view.end();
    if (view.unshownBytes() > 0) {
        messages.sayError(std::to_string(view.unshownBytes()) +
                          " received bytes were not shown: the output did not take them in time\n");
    }
    const std::string none;
    for (auto& port : ports) {
        // A port that is away was closed when it went.
        if (!port->present()) continue;
        const std::string& prefix = ports.size() > 1 ? port->label() + ": " : none;
        char text[64];
        if (!port->port().closePort()) {
            std::snprintf(text, sizeof text, "Port  Closing isn't successed: %d\n",
                          port->port().lastError());
            messages.say(prefix + text);
        }
        if (!port->port().closeEvent()) {
            std::snprintf(text, sizeof text, "Event Closing isn't successed: %d\n",
                          port->port().lastError());
            messages.say(prefix + text);
        }
    }
}

int captureWith(const std::string& fileName, const PortSettings& settings,
                const CaptureParts& parts, CaptureView& view, MessagePath& messages) {
    const CaptureOptions& options = parts.options;
    RotationPolicy policy{std::uint64_t{options.rotateKiB} * 1024, options.rotateSeconds,
                          options.keepParts, options.format != CaptureFormat::Raw, options.durable};
    std::unique_ptr<CaptureSink> sink = makePlatformCaptureSink();
    RotatingSink* rotation = nullptr;
    if (policy.active()) {
        auto rotating = std::make_unique<RotatingSink>(policy);
        rotation = rotating.get();
        rotation->setMessageOutput(
            [&messages](const std::string& text) { messages.sayError(text); });
        sink = std::move(rotating);
    }
    CaptureFile file(options.format, options.timeStamps, std::move(sink));
    file.setMessageOutput([&messages](const std::string& text) { messages.sayError(text); });
    // With -f the syncs come with its timer, at most one per period.
    if (options.durable) file.makeDurable(options.flushMs == 0);
    if (!file.open(fileName, options.append)) {
        // A FIFO is opened without waiting for its reader, which must come first.
        messages.say(file.foundNoReader()
                         ? std::string("could not open capture file: no process reads the pipe\n")
                         : "could not open capture file: " + std::to_string(file.errorCode()) +
                               "\n");
        return 1;
    }
    file.setGap(options.gapMs);
    // A setup that waits (a network port connecting) still ends on q and
    // stop requests, as the capture would.
    bool stoppedInSetup = false;
    auto interrupted = [&parts, &stoppedInSetup] {
        if (parts.stop != nullptr && parts.stop->requested()) return stoppedInSetup = true;
        while (parts.console != nullptr && parts.console->keyWaiting()) {
            if (parts.console->readKey() == kStopKey) return stoppedInSetup = true;
        }
        return false;
    };
    Ports ports;
    if (!openPorts(settings, parts, file, messages, ports, interrupted)) {
        return stoppedInSetup && file.close() ? 0 : 1;
    }
    for (auto& port : ports) port->reconnect().watchedBy(view, port->index());
    view.portsLabelled(labelsOf(ports));

    int status = CaptureLoop(ports, file, rotation, parts, view, messages, stoppedInSetup).run();
    if (parts.stop != nullptr) parts.stop->shutdownBegun();
    closePorts(ports, file, parts, view, messages);
    return file.close() ? status : 1;
}

}  // namespace

int runCaptureWith(const std::string& fileName, const PortSettings& settings,
                   const CaptureParts& parts) {
    CaptureView nothingShown;
    CaptureView& view = parts.view != nullptr ? *parts.view : nothingShown;
    std::unique_ptr<ShownStream> ownOutput = parts.output ? nullptr : stdioStream(parts.messages);
    std::unique_ptr<ShownStream> ownErrors = parts.errors ? nullptr : stdioStream(stderr);
    MessagePath messages(parts.output ? *parts.output : *ownOutput,
                         parts.errors ? *parts.errors : *ownErrors, view);
    int status = captureWith(fileName, settings, parts, view, messages);
    messages.end();
    return status;
}

int runCapture(const std::string& fileName, const PortSettings& settings,
               const CaptureOptions& options) {
    std::unique_ptr<StopSignal> stop = installPlatformStopSignal();
    std::unique_ptr<SerialDevice> device = makeDeviceFor(settings.portName);
    std::unique_ptr<Console> console = openPlatformConsole();
    std::unique_ptr<StatusDisplay> display = standardErrorDisplay();
    PortSettings named = settings;
    for (const std::string& more : options.morePorts) named.portName += "," + more;
    CaptureView view = viewFor(options.view, captureHeading(named, fileName), *display);
    CaptureParts parts{*device, console.get(), stop.get(), stdout, options, &view};
    parts.output = &standardStream(StandardStream::Output);
    parts.errors = &standardStream(StandardStream::Error);
    return runCaptureWith(fileName, settings, parts);
}

}  // namespace serialtap

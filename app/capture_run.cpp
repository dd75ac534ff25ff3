#include "app/capture_run.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/captured_port.h"
#include "app/message_path.h"
#include "app/reconnect.h"
#include "app/stop_conditions.h"
#include "app/terminal.h"
#include "app/write_out_timer.h"
#include "capture/capture_file.h"
#include "capture/rotating_sink.h"
#include "port/network_device.h"
#include "port/serial_port.h"
#include "port/wait_set.h"

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
// bytes, or, where the platform's wait cannot watch for that, a little later.
class KeptBytes {
public:
    static constexpr std::chrono::milliseconds kRetry{20};

    explicit KeptBytes(CaptureFile& file) : file_(file) {}

    void beforeWait(WaitSet& set) {
        waiting_ = file_.waitsForReader();
        if (!waiting_) return;
        if (waitWatchesOutput()) {
            set.add(SourceName::CaptureFile, 0, file_.handle(), Interest::Output);
        } else {
            set.due(Clock::now() + kRetry);
        }
    }
    void afterWait() {
        if (waiting_) file_.writeKept();
    }

private:
    CaptureFile& file_;
    bool waiting_ = false;
};

// The capture loop: each round builds one wait over every source (each
// port in whatever state it is, the console, the stop signal, the capture
// file's room and the earliest timer), waits once, then lets each source
// do its part without waiting: every port that is there is read, every
// port that is away goes on with its reopen, the timers run and the
// console is read. It ends at q, a stop request or a stop condition, and
// gives the exit status the stop calls for; it leaves each port open, or
// closed while it is away.
class CaptureLoop {
public:
    // A read of 4096 bytes from the system makes this many passes.
    static constexpr std::size_t kPassesInARow = 4096 / SerialPort::kMaxReadBytes + 1;

    CaptureLoop(Ports& ports, CaptureFile& file, RotatingSink* rotation, const CaptureParts& parts,
                CaptureView& view, MessagePath& messages)
        : ports_(ports),
          file_(file),
          rotation_(rotation),
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
    // The sources of one round, by name.
    struct Round {
        std::optional<std::size_t> console;
        std::optional<std::size_t> stop;
    };
    Round gatherSources(WaitSet& set);
    void wait(WaitSet& set);
    // Takes what one pass gave; false when the capture is to end.
    bool take(CapturedPort& port, const Reception& pass, bool clockRead, Clock::time_point now);
    // Reads a port that is there; false when the capture is to end.
    bool serve(CapturedPort& port, const WaitSet& set, bool clockRead, Clock::time_point now,
               bool& keyTestDue);
    bool runTimers(Clock::time_point now);

    Ports& ports_;
    CaptureFile& file_;
    RotatingSink* rotation_;
    const CaptureParts& parts_;
    CaptureView& view_;
    MessagePath& messages_;
    const bool several_;
    StopConditions stops_;
    WriteOutTimer writeOut_;
    Recorder recorder_;
    KeptBytes kept_;
    WaitSet set_;
};

CaptureLoop::Round CaptureLoop::gatherSources(WaitSet& set) {
    set.due(stops_.nextDeadline());
    set.due(writeOut_.deadline());
    set.due(view_.nextRedraw());
    if (rotation_ != nullptr) set.due(rotation_->deadline());
    for (auto& port : ports_) port->addSources(set);
    Round round;
    if (auto console = consoleHandle(parts_)) {
        round.console = set.add(SourceName::Console, 0, *console);
    }
    if (parts_.stop != nullptr) {
        round.stop = set.add(SourceName::StopSignal, 0, parts_.stop->wakeHandle());
    }
    kept_.beforeWait(set);
    return round;
}

// A port with bytes in hand is read without a look at the others: the
// device itself asks for a look every few kilobytes of a flood, so keys,
// stop requests and the other ports are still seen within them.
void CaptureLoop::wait(WaitSet& set) {
    if (set.servesNow()) {
        set.forgetReadiness();
        return;
    }
    waitOrPause(set, parts_.wait);
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
        port.reconnect().lose(Clock::now());
    }
    return true;
}

// The rest of what a port read from the system at once is taken at once:
// with several ports, before the next port's bytes; with one, without a
// round of the loop for every pass.
bool CaptureLoop::serve(CapturedPort& port, const WaitSet& set, bool clockRead,
                        Clock::time_point now, bool& keyTestDue) {
    port.port().sourcesFound(set);
    for (std::size_t passes = 0; passes < kPassesInARow; ++passes) {
        if (passes > 0 && (!port.present() || !port.port().holdsBytes())) break;
        Reception pass = port.port().receive();
        keyTestDue = keyTestDue && pass.keyTestDue;
        if (!take(port, pass, clockRead, now)) return false;
    }
    return true;
}

bool CaptureLoop::runTimers(Clock::time_point now) {
    if (stops_.timeIsUp(now)) return false;
    writeOut_.writeOutIfDue(file_, now);
    if (rotation_ != nullptr) {
        file_.endPartIfDue(*rotation_);
        // A port, when it is opened again, is told from the live file.
        for (auto& port : ports_) port->device().avoidFile(file_.handle());
    }
    return true;
}

int CaptureLoop::run() {
    file_.begin(clockReading(parts_));
    const bool timed = stops_.timed() || writeOut_.active() || rotation_ != nullptr;
    int lastKey = '0';
    while (lastKey != kStopKey) {
        WaitSet& set = set_;
        set.clear();
        Round round = gatherSources(set);
        // What the rounds before read in a row goes to the file before a
        // round that may wait; the write timer learns of what that wrote.
        if (several_ && set.waitLimit() != 0 && file_.writeGathered() && writeOut_.active()) {
            writeOut_.stored(file_, Clock::now());
        }
        wait(set);
        // Without a timer, the clock is not read at all.
        bool clockRead = several_ || timed || set.deadline().has_value();
        Clock::time_point now = clockRead ? Clock::now() : Clock::time_point{};
        kept_.afterWait();
        if (several_) file_.gatherWriteOuts();
        bool keyTestDue = true;
        bool ended = false;
        for (auto& port : ports_) {
            if (!port->present()) {
                port->reconnect().advance(set, now);
                continue;
            }
            if (!serve(*port, set, clockRead, now, keyTestDue)) {
                ended = true;
                break;
            }
        }
        if (ended) break;
        if (clockRead && !runTimers(now)) break;
        view_.redraw();
        messages_.retry();
        // Without a ready console or stop signal no key and no stop request
        // can be waiting. Either wakes the console too: it follows the
        // terminal (a continue after a stop, a tick in the background).
        if (!set.ready(round.console) && !set.ready(round.stop)) continue;
        if (parts_.stop != nullptr && parts_.stop->requested()) break;
        if (keyTestDue && parts_.console != nullptr && parts_.console->keyWaiting()) {
            lastKey = parts_.console->readKey();
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
        port.port().setOpenInterrupt(wakeHandles(parts), interrupted);
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

    int status = CaptureLoop(ports, file, rotation, parts, view, messages).run();
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

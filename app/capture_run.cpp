#include "app/capture_run.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/captured_port.h"
#include "app/line_event_log.h"
#include "app/line_identity.h"
#include "app/message_path.h"
#include "app/reconnect.h"
#include "app/stop_conditions.h"
#include "app/terminal.h"
#include "app/write_out_timer.h"
#include "capture/capture_file.h"
#include "capture/events_file.h"
#include "capture/rotating_sink.h"
#include "port/network_device.h"
#include "port/port_list.h"
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

// The bytes of a pass, and with line events the marks at their places.
void storePass(CaptureFile& file, LineEventLog* events, std::size_t port, const Reception& pass,
               const ClockReading& at) {
    if (pass.size == 0 && pass.markCount == 0) return;
    if (events == nullptr) {
        file.writeBytesFrom(port, pass.data, pass.size, at);
        return;
    }
    std::size_t done = 0;
    auto storeUpTo = [&](std::size_t end) {
        if (end <= done) return;
        file.writeBytesFrom(port, pass.data + done, end - done, at);
        events->delivered(port, end - done);
        done = end;
    };
    const Clock::time_point now = pass.markCount > 0 ? Clock::now() : Clock::time_point{};
    for (std::size_t i = 0; i < pass.markCount; ++i) {
        storeUpTo(std::min(pass.marks[i].at, pass.size));
        events->mark(port, pass.marks[i], now);
    }
    storeUpTo(pass.size);
}

// Everything a pass received goes to the file, to the view and past the
// stop texts; true when a stop text has arrived.
class Recorder {
public:
    Recorder(CaptureFile& file, StopConditions& stops, WriteOutTimer& writeOut,
             const CaptureParts& parts, CaptureView& view)
        : file_(file), stops_(stops), writeOut_(writeOut), parts_(parts), view_(view) {}

    // With line events, what the port says of its line goes in among its bytes.
    void markEventsIn(LineEventLog* events) { events_ = events; }

    bool record(std::size_t port, const Reception& pass, bool clockRead, Clock::time_point now) {
        storePass(file_, events_, port, pass, clockReading(parts_));
        // A mark alone is no received byte: the silence goes on.
        if (pass.size == 0) return false;
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
    LineEventLog* events_ = nullptr;
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
          kept_(file),
          lostAt_(ports.size()),
          lostSaid_(ports.size()),
          dropped_(ports.size()) {
        if (!parts.options.lineEvents) return;
        events_ = std::make_unique<LineEventLog>(
            ports.size(), [this](std::size_t port, const std::string& what) {
                return file_.writeEvent(port, what, parts_.clock());
            });
        recorder_.markEventsIn(events_.get());
    }

    int run();

    // With line events: the first line of each port, said once the
    // capture has begun.
    void beginWith(std::vector<std::string> identities) { identities_ = std::move(identities); }
    LineEventLog* events() { return events_.get(); }
    // How the capture ended, as its last event line says it.
    const std::string& endReason() const { return endReason_; }
    // What the system dropped on each port while it was open before the
    // last time it was lost.
    std::vector<DropCount>& droppedBefore() { return dropped_; }

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
    std::string endReasonOf(int lastKey) const;
    // With -f, event lines reach the file as soon as received bytes would.
    void eventsWritten() {
        if (writeOut_.active()) file_.flush();
    }

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
    std::unique_ptr<LineEventLog> events_;
    std::vector<std::string> identities_;
    std::vector<Clock::time_point> lostAt_;
    // A port that stays lost (-r 0) has said so.
    std::vector<bool> lostSaid_;
    std::vector<DropCount> dropped_;
    std::string endReason_;
};

CaptureLoop::Round CaptureLoop::gatherSources(WaitSet& set) {
    set.due(stops_.nextDeadline());
    set.due(writeOut_.deadline());
    set.due(view_.nextRedraw());
    if (rotation_ != nullptr) set.due(rotation_->deadline());
    if (events_ != nullptr) set.due(events_->deadline());
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
    if ((pass.size > 0 || pass.markCount > 0) &&
        recorder_.record(port.index(), pass, clockRead, now)) {
        return false;
    }
    // An event on a quiet line is kept no longer than a byte would be.
    if (pass.size == 0 && pass.markCount > 0) eventsWritten();
    // As a pipe ends the tools that write into it: the capture has no
    // reader left, and its failed write has been reported.
    if (file_.readerGone()) return false;
    const std::size_t index = port.index();
    if (pass.gone && !port.reconnect().enabled()) {
        // Its every pass now reports it gone; the file says so once.
        if (events_ != nullptr && !lostSaid_[index]) {
            lostSaid_[index] = true;
            events_->lost(index, Clock::now());
        }
        port.reconnect().staysLost();
    }
    if (pass.gone && port.reconnect().enabled()) {
        // Bytes the device had taken in before it went are kept.
        // The last look, with no byte left, may still find marks.
        for (Reception rest = port.port().takeBuffered(); rest.size > 0 || rest.markCount > 0;
             rest = port.port().takeBuffered()) {
            if (recorder_.record(index, rest, clockRead, now)) return false;
            if (rest.size == 0) break;
        }
        stops_.bytesLost(index);
        dropped_[index] += port.port().dropped();
        lostAt_[index] = Clock::now();
        if (events_ != nullptr) {
            events_->lost(index, lostAt_[index]);
            eventsWritten();
        }
        port.reconnect().lose(lostAt_[index]);
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
    // A counted event said on a quiet line is kept no longer than a byte.
    if (events_ != nullptr && events_->runTimers(now)) eventsWritten();
    writeOut_.writeOutIfDue(file_, now);
    if (rotation_ != nullptr) {
        file_.endPartIfDue(*rotation_);
        // A port, when it is opened again, is told from the live file.
        for (auto& port : ports_) port->device().avoidFile(file_.handle());
    }
    return true;
}

std::string CaptureLoop::endReasonOf(int lastKey) const {
    if (lastKey == kStopKey) return "q";
    if (parts_.stop != nullptr && parts_.stop->requested()) return "a stop signal";
    switch (stops_.reason()) {
        case StopConditions::Reason::TimeLimit:
            return "-t, the time limit";
        case StopConditions::Reason::Silence:
            return "-i, the silence";
        case StopConditions::Reason::EndText:
            return "-e, the end text arrived";
        case StopConditions::Reason::FailText:
            return "-x, the failure text arrived";
        case StopConditions::Reason::None:
            break;
    }
    return file_.readerGone() ? "the capture file's reader went away" : "the capture ended";
}

int CaptureLoop::run() {
    file_.begin(clockReading(parts_));
    for (std::size_t port = 0; port < identities_.size(); ++port) {
        file_.writeEvent(port, identities_[port], parts_.clock());
    }
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
                if (port->reconnect().advance(set, now) && events_ != nullptr) {
                    const Clock::time_point back = Clock::now();
                    events_->back(port->index(), back - lostAt_[port->index()], back);
                    eventsWritten();
                }
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
    endReason_ = endReasonOf(lastKey);
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

// The first event line of each port: when the capture began, the port
// and its adapter.
std::vector<std::string> identitiesOf(Ports& ports, const CaptureParts& parts) {
    const std::vector<PortInfo> known = findPorts();
    const std::string began = "capture began " + utcTimeText(parts.clock().wallNs, false) + ": ";
    std::vector<std::string> identities;
    for (auto& port : ports) {
        identities.push_back(began +
                             identityText(port->settings(), known, port->port().modemLines()));
    }
    return identities;
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
        own.watchLine = parts.options.lineEvents;
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
// With line events, the last line of each port says how the capture ended,
// and one line on standard error counts the events. Whatever the system
// said it dropped is said at the end, with or without them.
void closePorts(Ports& ports, CaptureFile& file, const CaptureParts& parts, CaptureView& view,
                MessagePath& messages, CaptureLoop& loop) {
    LineEventLog* events = loop.events();
    std::vector<DropCount>& dropped = loop.droppedBefore();
    for (auto& port : ports) {
        if (!port->present()) continue;
        // The last look, with no byte left, may still find marks.
        for (Reception rest = port->port().takeBuffered(); rest.size > 0 || rest.markCount > 0;
             rest = port->port().takeBuffered()) {
            storePass(file, events, port->index(), rest, clockReading(parts));
            view.received(rest.data, rest.size, port->index());
            if (rest.size == 0) break;
        }
        dropped[port->index()] += port->port().dropped();
    }
    if (events != nullptr) {
        events->endRuns(Clock::now());
        const ClockReading now = parts.clock();
        const std::string ended =
            "capture ended " + utcTimeText(now.wallNs, false) + ": " + loop.endReason();
        for (auto& port : ports) file.writeEvent(port->index(), ended, now);
    }
    view.end();
    if (view.unshownBytes() > 0) {
        messages.sayError(std::to_string(view.unshownBytes()) +
                          " received bytes were not shown: the output did not take them in time\n");
    }
    const std::string none;
    for (auto& port : ports) {
        std::string lost = droppedText(dropped[port->index()]);
        if (!lost.empty())
            messages.sayError((ports.size() > 1 ? port->label() + ": " : none) + lost);
    }
    if (events != nullptr) messages.sayError(events->summary());
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
    const std::uint64_t partBytes =
        rotation != nullptr && options.append ? rotation->partBytes() : 0;
    if (options.lineEvents && !file.expectEvents(fileName, options.append, partBytes)) {
        messages.say(file.eventsErrorCode() == 0
                         ? std::string("could not open the events file: a raw capture's events go "
                                       "beside a regular file\n")
                         : "could not open the events file: " +
                               std::to_string(file.eventsErrorCode()) + "\n");
        return 1;
    }
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

    CaptureLoop loop(ports, file, rotation, parts, view, messages);
    if (options.lineEvents) {
        std::vector<std::string> identities = identitiesOf(ports, parts);
        if (rotation != nullptr && options.format != CaptureFormat::Raw) {
            rotation->setPartHeader([&file, &parts, identities] {
                std::string header;
                const ClockReading now = clockReading(parts);
                for (std::size_t port = 0; port < identities.size(); ++port) {
                    header += file.eventLine(port, identities[port], now);
                }
                return header;
            });
        }
        loop.beginWith(std::move(identities));
    }
    int status = loop.run();
    if (parts.stop != nullptr) parts.stop->shutdownBegun();
    closePorts(ports, file, parts, view, messages, loop);
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

#include "app/capture_run.h"

#include <optional>
#include <vector>

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

// The clocks are read only for a capture that stamps its lines.
ClockReading clockReading(const CaptureParts& parts) {
    return parts.options.timeStamps != TimeStamps::None ? parts.clock() : ClockReading{};
}

// Everything a pass received goes to the file, to the view and past the
// stop texts; true when a stop text has arrived.
class Recorder {
public:
    Recorder(CaptureFile& file, StopConditions& stops, WriteOutTimer& writeOut,
             const CaptureParts& parts, CaptureView& view)
        : file_(file), stops_(stops), writeOut_(writeOut), parts_(parts), view_(view) {}

    bool record(const Reception& pass, bool clockRead, Clock::time_point now) {
        file_.writeBytes(pass.data, pass.size, clockReading(parts_));
        view_.received(pass.data, pass.size);
        if (clockRead) {
            stops_.heardAt(now);
            if (writeOut_.active()) writeOut_.stored(file_, now);
        }
        return stops_.received(pass.data, pass.size);
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

    KeptBytes(CaptureFile& file, SerialPort& port) : file_(file), port_(port) {}

    void beforeWait(Deadlines& due) {
        bool wanted = file_.waitsForReader();
        if (wanted != waiting_) {
            waiting_ = wanted;
            std::optional<NativeHandle> handle;
            if (wanted) handle = file_.handle();
            deviceWaits_ = port_.setWritableWake(handle);
        }
        if (waiting_ && !deviceWaits_) due.add(Clock::now() + kRetry);
    }
    void afterWait() {
        if (waiting_) file_.writeKept();
    }

private:
    CaptureFile& file_;
    SerialPort& port_;
    bool waiting_ = false;
    bool deviceWaits_ = false;
};

// Runs passes until q, a stop request or a stop condition; gives the exit
// status the stop calls for and leaves the port open, or closed while it
// is away.
int captureLoop(SerialPort& port, CaptureFile& file, RotatingSink* rotation,
                const CaptureParts& parts, Reconnect& reconnect, CaptureView& view,
                MessagePath& messages, const bool& stoppedInSetup) {
    std::vector<NativeHandle> handles = wakeHandles(parts);
    port.setWakeHandles(handles);
    std::optional<NativeHandle> console = consoleHandle(parts);
    const CaptureOptions& options = parts.options;
    file.begin(clockReading(parts));
    StopConditions stops(options, Clock::now());
    WriteOutTimer writeOut(options.flushMs);
    Recorder recorder(file, stops, writeOut, parts, view);
    KeptBytes kept(file, port);
    bool timed = stops.timed() || writeOut.active() || rotation != nullptr;
    int lastKey = '0';
    while (lastKey != kStopKey) {
        Deadlines due;
        due.add(stops.nextDeadline());
        due.add(writeOut.deadline());
        due.add(reconnect.nextTry());
        due.add(view.nextRedraw());
        kept.beforeWait(due);
        if (rotation != nullptr) due.add(rotation->deadline());
        Reception pass;
        if (reconnect.away()) {
            pass.woken = port.waitWake(due.waitLimit()) == WakeWait::Woken;
        } else {
            pass = port.receive(due.waitLimit());
        }
        // Without a timer, the clock is not read at all.
        bool clockRead = timed || due.any() || pass.gone;
        Clock::time_point now = clockRead ? Clock::now() : Clock::time_point{};
        kept.afterWait();
        if (pass.size > 0 && recorder.record(pass, clockRead, now)) break;
        // As a pipe ends the tools that write into it: the capture has no
        // reader left, and its failed write has been reported.
        if (file.readerGone()) break;
        if (pass.gone && reconnect.enabled()) {
            // Bytes the device had taken in before it went are kept.
            for (Reception rest = port.takeBuffered(); rest.size > 0; rest = port.takeBuffered()) {
                if (recorder.record(rest, clockRead, now)) return stops.exitStatus();
            }
            stops.bytesLost();
            reconnect.lose(now);
            port.setWakeHandles(handles);
        }
        if (clockRead) {
            if (stops.timeIsUp(now)) break;
            writeOut.writeOutIfDue(file, now);
            if (rotation != nullptr) {
                rotation->rotateIfDue();
                // The port, when it is opened again, is told from the live file.
                parts.device.avoidFile(file.handle());
            }
            if (reconnect.tryIfDue(now)) port.setWakeHandles(handles);
            if (stoppedInSetup) break;
        }
        view.redraw();
        messages.retry();
        // Without a ready wake handle no key and no stop request can be waiting.
        if (!pass.woken) continue;
        if (parts.stop != nullptr && parts.stop->requested()) break;
        if (pass.keyTestDue && parts.console != nullptr && parts.console->keyWaiting()) {
            lastKey = parts.console->readKey();
        }
        // A console that went away (a hung-up terminal) leaves the wait set.
        std::optional<NativeHandle> current = consoleHandle(parts);
        if (current != console) {
            console = current;
            handles = wakeHandles(parts);
            port.setWakeHandles(handles);
        }
    }
    return stops.exitStatus();
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
        rotation->setMessageOutput([&messages](const std::string& text) { messages.sayError(text); });
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
    SerialPort port(parts.device, parts.messages);
    port.setMessageOutput([&messages](const char* text) { messages.say(text); });
    parts.device.avoidFile(file.handle());
    // A setup that waits (a network port connecting) still ends on q and
    // stop requests, as the capture would.
    bool stoppedInSetup = false;
    parts.device.setOpenInterrupt(wakeHandles(parts), [&parts, &stoppedInSetup] {
        if (parts.stop != nullptr && parts.stop->requested()) return stoppedInSetup = true;
        while (parts.console != nullptr && parts.console->keyWaiting()) {
            if (parts.console->readKey() == kStopKey) return stoppedInSetup = true;
        }
        return false;
    });
    if (!port.open(settings)) return stoppedInSetup && file.close() ? 0 : 1;

    Reconnect reconnect(port, settings, parts.messages, parts.options.reconnect);
    reconnect.watchedBy(view);
    reconnect.setMessageOutput([&messages](const std::string& text) { messages.say(text); });
    int status =
        captureLoop(port, file, rotation, parts, reconnect, view, messages, stoppedInSetup);
    if (parts.stop != nullptr) parts.stop->shutdownBegun();
    // A port that is away was closed when it went.
    const bool portOpen = !reconnect.away();
    // Bytes the port already holds are part of the capture too.
    for (Reception rest = portOpen ? port.takeBuffered() : Reception{}; rest.size > 0;
         rest = port.takeBuffered()) {
        file.writeBytes(rest.data, rest.size, clockReading(parts));
        view.received(rest.data, rest.size);
    }
    view.end();
    if (view.unshownBytes() > 0) {
        messages.sayError(std::to_string(view.unshownBytes()) +
                          " received bytes were not shown: the output did not take them in time\n");
    }
    if (portOpen) {
        char text[64];
        if (!port.closePort()) {
            std::snprintf(text, sizeof text, "Port  Closing isn't successed: %d\n",
                          port.lastError());
            messages.say(text);
        }
        if (!port.closeEvent()) {
            std::snprintf(text, sizeof text, "Event Closing isn't successed: %d\n",
                          port.lastError());
            messages.say(text);
        }
    }
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
    CaptureView view = viewFor(options.view, captureHeading(settings, fileName), *display);
    CaptureParts parts{*device, console.get(), stop.get(), stdout, options, &view};
    parts.output = &standardStream(StandardStream::Output);
    parts.errors = &standardStream(StandardStream::Error);
    return runCaptureWith(fileName, settings, parts);
}

}  // namespace serialtap

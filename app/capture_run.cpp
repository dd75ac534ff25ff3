#include "app/capture_run.h"

#include <optional>
#include <vector>

#include "app/deadlines.h"
#include "app/reconnect.h"
#include "app/stop_conditions.h"
#include "app/terminal.h"
#include "app/write_out_timer.h"
#include "capture/capture_file.h"
#include "capture/rotating_sink.h"
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
        bool held = file_.holdsBytes();
        std::uint64_t writeOuts = file_.writeOuts();
        file_.writeBytes(pass.data, pass.size, clockReading(parts_));
        view_.received(pass.data, pass.size);
        if (clockRead) {
            stops_.heardAt(now);
            if (writeOut_.active()) writeOut_.stored(file_, held, writeOuts, now);
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

// Runs passes until q, a stop request or a stop condition; gives the exit
// status the stop calls for and leaves the port open, or closed while it
// is away.
int captureLoop(SerialPort& port, CaptureFile& file, RotatingSink* rotation,
                const CaptureParts& parts, Reconnect& reconnect, CaptureView& view) {
    std::vector<NativeHandle> handles = wakeHandles(parts);
    port.setWakeHandles(handles);
    std::optional<NativeHandle> console = consoleHandle(parts);
    const CaptureOptions& options = parts.options;
    file.begin(clockReading(parts));
    StopConditions stops(options, Clock::now());
    WriteOutTimer writeOut(options.flushMs);
    Recorder recorder(file, stops, writeOut, parts, view);
    bool timed = stops.timed() || writeOut.active() || rotation != nullptr;
    int lastKey = '0';
    while (lastKey != kStopKey) {
        Deadlines due;
        due.add(stops.nextDeadline());
        due.add(writeOut.deadline());
        due.add(reconnect.nextTry());
        due.add(view.nextRedraw());
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
        if (pass.size > 0 && recorder.record(pass, clockRead, now)) break;
        // As a pipe ends the tools that write into it: the capture has no
        // reader left, and its failed write has been reported.
        if (file.readerGone()) break;
        if (pass.gone && reconnect.enabled()) {
            // Bytes the device had taken in before it went are kept.
            for (Reception rest = port.takeBuffered(); rest.size > 0; rest = port.takeBuffered()) {
                if (recorder.record(rest, clockRead, now)) return stops.exitStatus();
            }
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
        }
        view.redraw();
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
            return CaptureView(stdout, standardOutputIsTerminal());
        case View::Nothing:
            break;
    }
    return CaptureView();
}

}  // namespace

int runCaptureWith(const std::string& fileName, const PortSettings& settings,
                   const CaptureParts& parts) {
    const CaptureOptions& options = parts.options;
    RotationPolicy policy{std::uint64_t{options.rotateKiB} * 1024, options.rotateSeconds,
                          options.keepParts, options.format != CaptureFormat::Raw, options.durable};
    std::unique_ptr<CaptureSink> sink = makePlatformCaptureSink();
    RotatingSink* rotation = nullptr;
    if (policy.active()) {
        auto rotating = std::make_unique<RotatingSink>(policy);
        rotation = rotating.get();
        sink = std::move(rotating);
    }
    CaptureFile file(options.format, options.timeStamps, std::move(sink));
    // With -f the syncs come with its timer, at most one per period.
    if (options.durable) file.makeDurable(options.flushMs == 0);
    if (!file.open(fileName, options.append)) {
        std::fprintf(parts.messages, "could not open capture file: %d\n", file.errorCode());
        return 1;
    }
    CaptureView nothingShown;
    CaptureView& view = parts.view != nullptr ? *parts.view : nothingShown;
    SerialPort port(parts.device, parts.messages);
    port.setBeforeMessage([&view] { view.beforeMessage(); });
    parts.device.avoidFile(file.handle());
    if (!port.open(settings)) return 1;

    Reconnect reconnect(port, settings, parts.messages, parts.options.reconnect);
    reconnect.watchedBy(view);
    int status = captureLoop(port, file, rotation, parts, reconnect, view);
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
    if (portOpen) {
        if (!port.closePort()) {
            std::fprintf(parts.messages, "Port  Closing isn't successed: %d\n", port.lastError());
        }
        if (!port.closeEvent()) {
            std::fprintf(parts.messages, "Event Closing isn't successed: %d\n", port.lastError());
        }
    }
    return file.close() ? status : 1;
}

int runCapture(const std::string& fileName, const PortSettings& settings,
               const CaptureOptions& options) {
    std::unique_ptr<StopSignal> stop = installPlatformStopSignal();
    std::unique_ptr<SerialDevice> device = makePlatformDevice();
    std::unique_ptr<Console> console = openPlatformConsole();
    std::unique_ptr<StatusDisplay> display = standardErrorDisplay();
    CaptureView view = viewFor(options.view, captureHeading(settings, fileName), *display);
    CaptureParts parts{*device, console.get(), stop.get(), stdout, options, &view};
    return runCaptureWith(fileName, settings, parts);
}

}  // namespace serialtap

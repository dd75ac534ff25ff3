#include "app/capture_run.h"

#include <optional>
#include <vector>

#include "app/terminal.h"
#include "capture/capture_file.h"
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

void captureLoop(SerialPort& port, CaptureFile& file, const CaptureParts& parts,
                 CaptureView& view) {
    port.setWakeHandles(wakeHandles(parts));
    std::optional<NativeHandle> console = consoleHandle(parts);
    file.begin(clockReading(parts));
    int lastKey = '0';
    while (lastKey != kStopKey) {
        // The view (-v): the wait ends in time for the status line's next
        // redraw; with nothing to show it has no limit.
        port.setEventWaitLimit(view.waitLimitMs());
        Reception pass = port.receive();
        if (pass.size > 0) {
            file.writeBytes(pass.data, pass.size, clockReading(parts));
            view.received(pass.data, pass.size);
        }
        view.redraw();
        // Without a ready wake handle no key and no stop request can be waiting.
        if (!pass.woken) continue;
        if (parts.stop != nullptr && parts.stop->requested()) break;
        if (pass.keyTestDue && parts.console != nullptr && parts.console->keyWaiting()) {
            lastKey = parts.console->readKey();
        }
        // A console that went away (a hung-up terminal) leaves the wait set.
        std::optional<NativeHandle> now = consoleHandle(parts);
        if (now != console) {
            console = now;
            port.setWakeHandles(wakeHandles(parts));
        }
    }
}

CaptureView viewFor(View view, const std::string& heading, StatusDisplay& display) {
    switch (view) {
        case View::StatusLine:
            return CaptureView(
                std::make_unique<StatusLine>(heading, display, standardErrorIsTerminal(),
                                             [] { return StatusLine::Clock::now(); }));
        case View::Bytes:
            keepRunningWhenOutputCloses();
            return CaptureView(stdout, standardOutputIsTerminal());
        case View::Nothing:
            break;
    }
    return CaptureView();
}

}  // namespace

int runCaptureWith(const std::string& fileName, const PortSettings& settings,
                   const CaptureParts& parts) {
    CaptureFile file(parts.options.format, parts.options.timeStamps);
    if (!file.open(fileName)) {
        std::fprintf(parts.messages, "could not open capture file: %d\n", file.errorCode());
        return 1;
    }
    CaptureView nothingShown;
    CaptureView& view = parts.view != nullptr ? *parts.view : nothingShown;
    SerialPort port(parts.device, parts.messages);
    port.setBeforeMessage([&view] { view.beforeMessage(); });
    parts.device.avoidFile(file.handle());
    if (!port.open(settings)) return 1;

    captureLoop(port, file, parts, view);
    if (parts.stop != nullptr) parts.stop->shutdownBegun();
    // Bytes the port already holds are part of the capture too.
    for (Reception rest = port.takeBuffered(); rest.size > 0; rest = port.takeBuffered()) {
        file.writeBytes(rest.data, rest.size, clockReading(parts));
        view.received(rest.data, rest.size);
    }
    view.end();

    if (!port.closePort()) {
        std::fprintf(parts.messages, "Port  Closing isn't successed: %d\n", port.lastError());
    }
    if (!port.closeEvent()) {
        std::fprintf(parts.messages, "Event Closing isn't successed: %d\n", port.lastError());
    }
    return file.close() ? 0 : 1;
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

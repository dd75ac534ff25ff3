#include "app/capture_run.h"

#include <optional>
#include <vector>

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

void captureLoop(SerialPort& port, CaptureFile& file, const CaptureParts& parts) {
    port.setWakeHandles(wakeHandles(parts));
    std::optional<NativeHandle> console = consoleHandle(parts);
    file.begin(clockReading(parts));
    int lastKey = '0';
    while (lastKey != kStopKey) {
        Reception pass = port.receive();
        if (pass.size > 0) file.writeBytes(pass.data, pass.size, clockReading(parts));
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

}  // namespace

int runCaptureWith(const std::string& fileName, const PortSettings& settings,
                   const CaptureParts& parts) {
    CaptureFile file(parts.options.format, parts.options.timeStamps);
    if (!file.open(fileName)) {
        std::fprintf(parts.messages, "could not open capture file: %d\n", file.errorCode());
        return 1;
    }
    SerialPort port(parts.device, parts.messages);
    if (!port.open(settings)) return 1;

    captureLoop(port, file, parts);
    if (parts.stop != nullptr) parts.stop->shutdownBegun();
    // Bytes the port had already taken in are part of the capture too.
    for (Reception rest = port.takeBuffered(); rest.size > 0; rest = port.takeBuffered()) {
        file.writeBytes(rest.data, rest.size, clockReading(parts));
    }

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
    CaptureParts parts{*device, console.get(), stop.get(), stdout, options};
    return runCaptureWith(fileName, settings, parts);
}

}  // namespace serialtap

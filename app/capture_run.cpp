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

void captureLoop(SerialPort& port, CaptureFile& file, const CaptureParts& parts) {
    port.setWakeHandles(wakeHandles(parts));
    std::optional<NativeHandle> console = consoleHandle(parts);
    int lastKey = '0';
    while (lastKey != kStopKey) {
        Reception pass = port.receive();
        if (pass.size > 0) file.writeBytes(pass.data, pass.size);
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
    CaptureFile file;
    if (!file.open(fileName)) {
        std::fprintf(parts.messages, "could not open capture file: %d\n", file.errorCode());
        return 1;
    }
    SerialPort port(parts.device, parts.messages);
    parts.device.avoidFile(file.handle());
    if (!port.open(settings)) return 1;

    captureLoop(port, file, parts);
    // Bytes the port already holds are part of the capture too.
    for (Reception rest = port.takeBuffered(); rest.size > 0; rest = port.takeBuffered()) {
        file.writeBytes(rest.data, rest.size);
    }

    if (!port.closePort()) {
        std::fprintf(parts.messages, "Port  Closing isn't successed: %d\n", port.lastError());
    }
    if (!port.closeEvent()) {
        std::fprintf(parts.messages, "Event Closing isn't successed: %d\n", port.lastError());
    }
    return file.close() ? 0 : 1;
}

int runCapture(const std::string& fileName, const PortSettings& settings) {
    std::unique_ptr<StopSignal> stop = installPlatformStopSignal();
    std::unique_ptr<SerialDevice> device = makePlatformDevice();
    std::unique_ptr<Console> console = openPlatformConsole();
    CaptureParts parts{*device, console.get(), stop.get(), stdout};
    return runCaptureWith(fileName, settings, parts);
}

}  // namespace serialtap

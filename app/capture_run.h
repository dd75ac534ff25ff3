#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/capture_options.h"
#include "app/capture_view.h"
#include "app/console.h"
#include "app/terminal.h"
#include "port/port_settings.h"
#include "port/serial_device.h"
#include "port/wait_set.h"

namespace serialtap {

// What a capture runs on; tests hand in fakes, the program its platform's.
struct CaptureParts {
    SerialDevice& device;
    Console* console;  // none when there is no console to read keys from
    StopSignal* stop;  // none when stop requests are not watched
    std::FILE* messages;
    CaptureOptions options = {};
    CaptureView* view = nullptr;  // none: nothing shown while capturing
    // Read when a pass returns bytes, for the capture's time stamps.
    ClockReading (*clock)() = readClock;
    // Where messages are written without waiting; none: to messages, and
    // the capture file's to standard error, as stdio writes them.
    ShownStream* output = nullptr;
    ShownStream* errors = nullptr;
    // The devices of the ports given with -l; none: the platform's.
    std::function<std::unique_ptr<SerialDevice>(const std::string& portName)> makeDevice = nullptr;
    // The capture's one wait; tests hand in one that reports their fakes.
    std::function<bool(WaitSet& set, int& error)> wait = waitOn;
};

constexpr int kStopKey = 0x71;  // 'q', lower case only

int runCapture(const std::string& fileName, const PortSettings& settings,
               const CaptureOptions& options);
int runCaptureWith(const std::string& fileName, const PortSettings& settings,
                   const CaptureParts& parts);

}  // namespace serialtap

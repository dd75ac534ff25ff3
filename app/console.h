#pragma once

#include <memory>
#include <optional>

#include "port/serial_device.h"

namespace serialtap {

// The keyboard the user stops the capture from. While it exists, keys are
// taken without echo and without Enter; the terminal is restored when it
// goes away.
class Console {
public:
    virtual ~Console() = default;
    // Tells without waiting whether a key code is waiting.
    virtual bool keyWaiting() = 0;
    // Takes one key code; -1 when the read fails.
    virtual int readKey() = 0;
    // Ready while a key code is waiting; none when there is no console.
    virtual std::optional<NativeHandle> wakeHandle() const = 0;
};

// Ctrl+C, termination and hang-up requests, turned into a flag the capture
// loop looks at and a handle that ends the event wait.
class StopSignal {
public:
    virtual ~StopSignal() = default;
    virtual bool requested() = 0;
    virtual NativeHandle wakeHandle() const = 0;
    // The capture is being written out and closed: a stop request from now
    // on ends the process at once.
    virtual void shutdownBegun() {}
};

std::unique_ptr<Console> openPlatformConsole();
// Messages are shown at once on a terminal and held in a buffer otherwise.
bool standardOutputIsTerminal();
std::unique_ptr<StopSignal> installPlatformStopSignal();

// Before anything is opened: standard input, output and error made valid,
// and the process kept alive through failed writes, which are reported.
void prepareProcess();
// Whether standard output was closed when the program started, so that
// what prepareProcess put in its place swallows everything written to it.
bool standardOutputWasClosed();
// After the capture is closed and the terminal restored: a signal that asked
// for the process to end by it ends it now.
void endAsStopSignalAsks();

}  // namespace serialtap

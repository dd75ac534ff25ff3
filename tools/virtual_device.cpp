// serialtap-virtual-device: a serial device on a pseudo-terminal, for trying
// serialtap without hardware and for testing and measuring it.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/content_source.h"
#include "tools/device_options.h"
#include "tools/device_run.h"
#include "tools/pseudo_terminal.h"

namespace {

int stopWriteEnd = -1;

extern "C" void onStopSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a stop request, so the result does not matter.
    if (::write(stopWriteEnd, &byte, 1) < 0) {
    }
    errno = savedErrno;
}

// Interrupts, terminations and hang-ups become a readable pipe, which the
// sending loop polls together with the pseudo-terminal.
int installStopPipe() {
    int ends[2];
    if (pipe(ends) != 0) {
        return -1;
    }
    for (const int end : ends) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
    }
    stopWriteEnd = ends[1];
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction inherited {};
        sigaction(signal, nullptr, &inherited);
        // A shell starts background commands with interrupts ignored (and
        // nohup hang-ups): then the user's Ctrl+C is meant for the program in
        // the foreground, not for the device.
        if (signal != SIGTERM && inherited.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    return ends[0];
}

int failWith(const std::string& message) {
    std::fprintf(stderr, "serialtap-virtual-device: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace serialtap::device;
    const ParseResult parsed = parseDeviceOptions(argc, argv);
    if (parsed.outcome == ParseResult::Outcome::Help) {
        std::fputs(deviceUsage(), stdout);
        return 0;
    }
    if (parsed.outcome == ParseResult::Outcome::Error) {
        std::fprintf(stderr, "serialtap-virtual-device: %s\n\n%s", parsed.error.c_str(),
                     deviceUsage());
        return 2;
    }
    const DeviceOptions& options = parsed.options;

    ContentSource source;
    std::string error;
    if (!source.load(options, error)) {
        return failWith(error);
    }
    const int stopFd = installStopPipe();
    if (stopFd < 0) {
        return failWith(std::string("pipe: ") + std::strerror(errno));
    }
    PseudoTerminal terminal;
    if (!terminal.open(!options.waitOpen)) {
        return failWith(terminal.errorText());
    }
    // The path is the one thing on standard output, so a script can read it.
    std::printf("%s\n", terminal.portPath().c_str());
    std::fflush(stdout);
    return runDevice(terminal, options, source, stopFd);
}

// Stop requests by signal, Ctrl+Z, and what the process needs before it
// opens anything.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "app/console.h"
#include "app/terminal_posix.h"

namespace serialtap {

namespace {

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t shuttingDown = 0;
// A signal that asks for the process to end by it, once the capture is kept.
volatile std::sig_atomic_t endingSignal = 0;
int stopPipeWrite = -1;
// When the first stop request came, or the shutdown began after q.
timespec firstRequestAt{};
// One Ctrl+C may arrive twice, from the terminal and from a wrapper that
// passes it on; a repeat this soon is the same request.
constexpr long kSameRequestMs = 200;

// Ctrl+C, Ctrl+\, kill and a hang-up end the capture like q.
constexpr int kStopSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
// These end the process as they ask, but only after the capture is written
// and the terminal restored.
constexpr int kEndingSignals[] = {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGXCPU};

void wakeCaptureLoop() {
    char byte = 1;
    // A full pipe already wakes the wait; the write may be dropped.
    [[maybe_unused]] ssize_t written = ::write(stopPipeWrite, &byte, 1);
}

bool isEndingSignal(int signal) {
    return std::any_of(std::begin(kEndingSignals), std::end(kEndingSignals),
                       [signal](int ending) { return ending == signal; });
}

bool soonAfterFirstRequest() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsedMs = (now.tv_sec - firstRequestAt.tv_sec) * 1000 +
                     (now.tv_nsec - firstRequestAt.tv_nsec) / 1000000;
    return elapsedMs < kSameRequestMs;
}

extern "C" void onStopSignal(int signal) {
    int saved = errno;
    if (stopRequested != 0 || shuttingDown != 0) {
        // Asked again while the capture is being written out, which may be
        // what hangs: end now. A hang-up is exempt, as it comes from the
        // terminal and from the shell alike.
        if (signal != SIGHUP && !soonAfterFirstRequest()) {
            posix::restoreTerminal();
            _exit(1);
        }
        errno = saved;
        return;
    }
    clock_gettime(CLOCK_MONOTONIC, &firstRequestAt);
    stopRequested = 1;
    if (endingSignal == 0 && isEndingSignal(signal)) endingSignal = signal;
    wakeCaptureLoop();
    errno = saved;
}

extern "C" void onContinue(int) {
    int saved = errno;
    posix::continued = 1;
    wakeCaptureLoop();
    errno = saved;
}

// Ctrl+Z: the shell's prompt gets the terminal as the capture found it, then
// the process stops as it would have without a handler. On continuing, the
// console takes its keys again if it has the foreground.
extern "C" void onSuspend(int) {
    int saved = errno;
    posix::restoreTerminal();
    struct sigaction ours {};
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(SIGTSTP, &byDefault, &ours);
    raise(SIGTSTP);
    sigset_t suspend;
    sigset_t previous;
    sigemptyset(&suspend);
    sigaddset(&suspend, SIGTSTP);
    // Delivered here, and stops the process until it is continued.
    sigprocmask(SIG_UNBLOCK, &suspend, &previous);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    sigaction(SIGTSTP, &ours, nullptr);
    posix::continued = 1;
    wakeCaptureLoop();
    errno = saved;
}

// Every handled signal waits while another handler runs.
sigset_t handledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals) sigaddset(&set, signal);
    for (int signal : kEndingSignals) sigaddset(&set, signal);
    sigaddset(&set, SIGTSTP);
    sigaddset(&set, SIGCONT);
    return set;
}

struct Installed {
    int signal;
    bool replaced;
    struct sigaction previous;
};

class PosixStopSignal final : public StopSignal {
public:
    PosixStopSignal() {
        if (::pipe(pipe_) == 0) {
            for (int fd : pipe_) {
                fcntl(fd, F_SETFL, O_NONBLOCK);
                fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
        } else {
            pipe_[0] = pipe_[1] = -1;
        }
        stopRequested = 0;
        shuttingDown = 0;
        endingSignal = 0;
        stopPipeWrite = pipe_[1];
        for (int signal : kStopSignals) install(signal, onStopSignal, false);
        for (int signal : kEndingSignals) install(signal, onStopSignal, false);
        install(SIGTSTP, onSuspend, true);
        // Continuing happens whatever SIGCONT's disposition; the handler only
        // wakes the loop, so it is installed even over an ignored one.
        struct sigaction action {};
        action.sa_handler = onContinue;
        action.sa_mask = handledSignals();
        action.sa_flags = SA_RESTART;
        installed_[count_] = {SIGCONT, true, {}};
        sigaction(SIGCONT, &action, &installed_[count_++].previous);
    }

    ~PosixStopSignal() override {
        for (std::size_t i = 0; i < count_; ++i) {
            if (installed_[i].replaced) {
                sigaction(installed_[i].signal, &installed_[i].previous, nullptr);
            }
        }
        stopPipeWrite = -1;
        if (pipe_[0] >= 0) ::close(pipe_[0]);
        if (pipe_[1] >= 0) ::close(pipe_[1]);
    }

    bool requested() override {
        // Emptied so that a wake-up that was not a stop cannot keep the
        // event wait returning.
        char drained[64];
        while (::read(pipe_[0], drained, sizeof drained) > 0) {
        }
        return stopRequested != 0;
    }
    NativeHandle wakeHandle() const override { return pipe_[0]; }
    void shutdownBegun() override {
        posix::HandlersHeld held;
        if (stopRequested == 0) clock_gettime(CLOCK_MONOTONIC, &firstRequestAt);
        shuttingDown = 1;
    }

private:
    // A signal the process was started with ignored stays ignored, as nohup
    // and shells running background jobs without job control intend.
    void install(int signal, void (*handler)(int), bool restart) {
        Installed& entry = installed_[count_++];
        entry.signal = signal;
        entry.replaced = false;
        if (sigaction(signal, nullptr, &entry.previous) != 0) return;
        if (entry.previous.sa_handler == SIG_IGN) return;
        struct sigaction action {};
        action.sa_handler = handler;
        action.sa_mask = handledSignals();
        action.sa_flags = restart ? SA_RESTART : 0;
        entry.replaced = sigaction(signal, &action, nullptr) == 0;
    }

    int pipe_[2] = {-1, -1};
    Installed installed_[std::size(kStopSignals) + std::size(kEndingSignals) + 2]{};
    std::size_t count_ = 0;
};

}  // namespace

std::unique_ptr<StopSignal> installPlatformStopSignal() {
    return std::make_unique<PosixStopSignal>();
}

namespace {
bool outputWasClosed = false;
}  // namespace

bool standardOutputWasClosed() { return outputWasClosed; }

void prepareProcess() {
    // Started with standard input, output or error closed, the files opened
    // next would take their numbers and messages would land in them.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        outputWasClosed = outputWasClosed || fd == STDOUT_FILENO;
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) ::close(null);
    }
    // A capture file whose reader has gone, or which reached the size limit,
    // makes the write fail, which is reported; the signals would end the
    // process with the held bytes lost.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void endAsStopSignalAsks() {
    int signal = endingSignal;
    if (signal == 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    std::signal(signal, SIG_DFL);
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, signal);
    sigprocmask(SIG_UNBLOCK, &ending, nullptr);
    raise(signal);
}

}  // namespace serialtap

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

#include "app/console.h"

namespace serialtap {

namespace {

// Set when the process is continued after a stop (Ctrl+Z, then fg or bg).
volatile std::sig_atomic_t continued = 0;

// The controlling terminal, not standard input, so a capture whose input is
// redirected still stops on a key.
class PosixConsole final : public Console {
public:
    PosixConsole() {
        int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        // A capture in the background leaves the terminal to the foreground.
        if (tcgetpgrp(fd) != getpgrp() || tcgetattr(fd, &saved_) != 0) {
            ::close(fd);
            return;
        }
        keys_ = saved_;
        // Keys count without Enter and are not echoed; Ctrl+C still signals.
        keys_.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        keys_.c_cc[VMIN] = 1;
        keys_.c_cc[VTIME] = 0;
        if (tcsetattr(fd, TCSANOW, &keys_) != 0) {
            ::close(fd);
            return;
        }
        fd_ = fd;
    }

    ~PosixConsole() override { drop(); }

    bool keyWaiting() override {
        if (fd_ < 0) return false;
        if (continued != 0) {
            // The shell restores its own terminal modes when a job is
            // stopped; a capture brought back to the foreground takes keys
            // without Enter again.
            continued = 0;
            if (tcgetpgrp(fd_) == getpgrp()) setMode(keys_);
        }
        pollfd poll{fd_, POLLIN, 0};
        if (::poll(&poll, 1, 0) <= 0) return false;
        if (poll.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            drop();
            return false;
        }
        return (poll.revents & POLLIN) != 0 && tcgetpgrp(fd_) == getpgrp();
    }

    int readKey() override {
        if (fd_ < 0) return -1;
        unsigned char key = 0;
        ssize_t got = ::read(fd_, &key, 1);
        if (got == 1) return key;
        if (got == 0) drop();
        return -1;
    }

    // Out of the wait while in the background: input waiting there is the
    // foreground's and would otherwise end every wait at once. SIGCONT,
    // which fg sends, wakes the loop to put it back.
    std::optional<NativeHandle> wakeHandle() const override {
        if (fd_ < 0 || tcgetpgrp(fd_) != getpgrp()) return std::nullopt;
        return fd_;
    }

private:
    void setMode(const termios& mode) {
        // Setting the mode from the background must not stop the process.
        sigset_t block;
        sigset_t previous;
        sigemptyset(&block);
        sigaddset(&block, SIGTTOU);
        sigprocmask(SIG_BLOCK, &block, &previous);
        tcsetattr(fd_, TCSANOW, &mode);
        sigprocmask(SIG_SETMASK, &previous, nullptr);
    }

    void drop() {
        if (fd_ < 0) return;
        setMode(saved_);
        ::close(fd_);
        fd_ = -1;
    }

    int fd_ = -1;
    termios saved_{};
    termios keys_{};
};

volatile std::sig_atomic_t stopRequested = 0;
int stopPipeWrite = -1;

void wakeCaptureLoop() {
    char byte = 1;
    // A full pipe already wakes the wait; the write may be dropped.
    [[maybe_unused]] ssize_t written = ::write(stopPipeWrite, &byte, 1);
}

extern "C" void onStopSignal(int) {
    int saved = errno;
    stopRequested = 1;
    wakeCaptureLoop();
    errno = saved;
}

extern "C" void onContinue(int) {
    int saved = errno;
    continued = 1;
    wakeCaptureLoop();
    errno = saved;
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

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
        stopPipeWrite = pipe_[1];
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
            sigaction(kStopSignals[i], &action, &previous_[i]);
        }
        action.sa_handler = onContinue;
        action.sa_flags = SA_RESTART;
        sigaction(SIGCONT, &action, &previousContinue_);
    }

    ~PosixStopSignal() override {
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
            sigaction(kStopSignals[i], &previous_[i], nullptr);
        }
        sigaction(SIGCONT, &previousContinue_, nullptr);
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

private:
    int pipe_[2] = {-1, -1};
    struct sigaction previous_[std::size(kStopSignals)]{};
    struct sigaction previousContinue_ {};
};

}  // namespace

std::unique_ptr<Console> openPlatformConsole() { return std::make_unique<PosixConsole>(); }

std::unique_ptr<StopSignal> installPlatformStopSignal() {
    return std::make_unique<PosixStopSignal>();
}

bool standardOutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

}  // namespace serialtap

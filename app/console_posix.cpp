#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/console.h"
#include "app/terminal_posix.h"

namespace serialtap {

namespace posix {

volatile std::sig_atomic_t continued = 0;

namespace {

// The console as the handlers see it. The modes are written only with the
// handlers held off, and keysSet says whether they are to be put back.
int terminalFd = -1;
termios foundModes{};
volatile std::sig_atomic_t keysSet = 0;

}  // namespace

void restoreTerminal() {
    if (keysSet == 0 || terminalFd < 0) return;
    keysSet = 0;
    if (tcgetpgrp(terminalFd) == getpgrp()) tcsetattr(terminalFd, TCSANOW, &foundModes);
}

}  // namespace posix

namespace {

// Wakes the capture loop once a second through a pipe while it runs. A job
// brought to the foreground by fg after bg gets the terminal without any
// signal, so nothing else would tell the capture that keys are its again.
class BackgroundTicker {
public:
    BackgroundTicker() {
        if (::pipe(pipe_) != 0) {
            pipe_[0] = pipe_[1] = -1;
            return;
        }
        for (int fd : pipe_) {
            fcntl(fd, F_SETFL, O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    ~BackgroundTicker() {
        stop();
        for (int fd : pipe_) {
            if (fd >= 0) ::close(fd);
        }
    }
    BackgroundTicker(const BackgroundTicker&) = delete;
    BackgroundTicker& operator=(const BackgroundTicker&) = delete;

    int handle() const { return pipe_[0]; }

    void start() {
        if (thread_.joinable() || pipe_[0] < 0) return;
        stopping_ = false;
        // Signals are for the capture loop's thread, whose handlers may stop
        // or end the process.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            thread_ = std::thread([this] { tick(); });
        } catch (const std::system_error&) {
            // Without the ticker a signal still wakes the loop.
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
        drain();
    }

    void drain() {
        char ticks[64];
        while (pipe_[0] >= 0 && ::read(pipe_[0], ticks, sizeof ticks) > 0) {
        }
    }

private:
    void tick() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; })) {
            char tick = 1;
            // A full pipe already wakes the loop.
            [[maybe_unused]] ssize_t written = ::write(pipe_[1], &tick, 1);
        }
    }

    int pipe_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

// The controlling terminal, not standard input, so a capture whose input is
// redirected still stops on a key. Keys are taken only while the capture has
// the foreground; in the background the terminal and its modes are the
// shell's and the foreground job's.
class PosixConsole final : public Console {
public:
    PosixConsole() {
        int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        fd_ = fd;
        posix::terminalFd = fd;
        followForeground();
    }

    ~PosixConsole() override { drop(); }

    bool keyWaiting() override {
        if (fd_ < 0) return false;
        followForeground();
        if (!foreground_) return false;
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

    // In the background the terminal leaves the wait, as input waiting there
    // is the foreground's and would end every wait at once; the ticker takes
    // its place.
    std::optional<NativeHandle> wakeHandle() const override {
        if (fd_ < 0) return std::nullopt;
        if (foreground_) return fd_;
        if (ticker_.handle() < 0) return std::nullopt;
        return ticker_.handle();
    }

private:
    // Called whenever the loop wakes: after a stop and continue, a tick in
    // the background, or a key.
    void followForeground() {
        ticker_.drain();
        bool wasContinued = posix::continued != 0;
        posix::continued = 0;
        pid_t owner = tcgetpgrp(fd_);
        if (owner < 0) {
            // No longer this session's terminal (hung up).
            drop();
            return;
        }
        bool now = owner == getpgrp();
        if (now) {
            ticker_.stop();
            if (!foreground_ || wasContinued || posix::keysSet == 0) takeKeys();
        } else {
            // The shell took the terminal with its own modes; they are not
            // the capture's to put back.
            posix::keysSet = 0;
            ticker_.start();
        }
        foreground_ = now;
    }

    // Keys count without Enter and are not echoed; Ctrl+C still signals.
    // Ctrl+S and Ctrl+Q are keys like any other: as output flow control they
    // would stop the terminal's output, and with it every write to it.
    void takeKeys() {
        posix::HandlersHeld held;
        if (posix::keysSet == 0) {
            // The modes as the shell hands them over now are the ones to
            // give back.
            if (tcgetattr(fd_, &posix::foundModes) != 0) return;
        }
        termios keys = posix::foundModes;
        keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        keys.c_iflag &= ~static_cast<tcflag_t>(IXON);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        if (tcsetattr(fd_, TCSANOW, &keys) == 0) posix::keysSet = 1;
    }

    void drop() {
        if (fd_ < 0) return;
        ticker_.stop();
        {
            posix::HandlersHeld held;
            posix::restoreTerminal();
            posix::terminalFd = -1;
        }
        ::close(fd_);
        fd_ = -1;
        foreground_ = false;
    }

    int fd_ = -1;
    bool foreground_ = false;
    BackgroundTicker ticker_;
};

}  // namespace

std::unique_ptr<Console> openPlatformConsole() { return std::make_unique<PosixConsole>(); }

bool standardOutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

}  // namespace serialtap

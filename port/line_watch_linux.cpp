#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "port/line_watch.h"

namespace serialtap {

std::optional<DriverCounts> readDriverCounts(int fd) {
    serial_icounter_struct counts{};
    if (ioctl(fd, TIOCGICOUNT, &counts) != 0) return std::nullopt;
    DriverCounts read;
    read.dropped =
        static_cast<std::uint32_t>(counts.overrun) + static_cast<std::uint32_t>(counts.buf_overrun);
    read.frame = static_cast<std::uint32_t>(counts.frame);
    read.parity = static_cast<std::uint32_t>(counts.parity);
    return read;
}

namespace {

// Ends the watcher's blocked TIOCMIWAIT: a signal the program uses for
// nothing else, whose handler does nothing and is installed without
// SA_RESTART, so that the call returns with EINTR.
int interruptSignal() { return SIGRTMIN + 2; }

extern "C" void onInterrupt(int) {}

void installInterrupt() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(interruptSignal(), &action, nullptr);
    });
}

constexpr std::chrono::milliseconds kStopPatience{1000};
constexpr std::chrono::milliseconds kStopRetry{10};

// What the watcher thread shares with its owner. A thread that would not
// end is left to itself with this, so the pipe it writes to stays its own.
struct WatchShared {
    int port = -1;
    int pipe[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable endedChanged;
    bool ended = false;
};

// The thread touches nothing of the device but the pipe: each change of the
// lines writes a byte, unless one is already waiting to be read.
void watchLoop(const std::shared_ptr<WatchShared>& shared) {
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, interruptSignal());
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
    const int lines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
    while (!shared->stopping.load()) {
        if (ioctl(shared->port, TIOCMIWAIT, lines) == 0) {
            if (shared->stopping.load()) break;
            const char changed = 1;
            if (::write(shared->pipe[1], &changed, 1) < 0) {
                // Full: a wake is already waiting.
            }
            continue;
        }
        // EINVAL or ENOTTY: the driver cannot wait for the lines; EIO: the
        // port is gone. Either way there is nothing more to watch.
        if (errno != EINTR) break;
    }
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->ended = true;
    shared->endedChanged.notify_all();
}

class ThreadModemLineWatch final : public ModemLineWatch {
public:
    explicit ThreadModemLineWatch(std::shared_ptr<WatchShared> shared)
        : shared_(std::move(shared)) {}
    ~ThreadModemLineWatch() override { stop(); }
    ThreadModemLineWatch(const ThreadModemLineWatch&) = delete;
    ThreadModemLineWatch& operator=(const ThreadModemLineWatch&) = delete;

    bool start() {
        installInterrupt();
        // Every signal but the one that ends the wait stays with the
        // capture's own thread.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            thread_ = std::thread(watchLoop, shared_);
        } catch (const std::system_error&) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return thread_.joinable();
    }

    int handle() const override { return shared_->pipe[0]; }

    void drain() override {
        char wakes[16];
        while (::read(shared_->pipe[0], wakes, sizeof wakes) > 0) {
        }
    }

private:
    // The signal can come just before the thread enters its wait, so it is
    // sent again until the thread has ended; one that does not end within
    // the patience is left behind rather than hold up the program.
    void stop() {
        if (thread_.joinable()) {
            shared_->stopping.store(true);
            auto giveUp = std::chrono::steady_clock::now() + kStopPatience;
            std::unique_lock<std::mutex> lock(shared_->mutex);
            while (!shared_->ended && std::chrono::steady_clock::now() < giveUp) {
                pthread_kill(thread_.native_handle(), interruptSignal());
                shared_->endedChanged.wait_for(lock, kStopRetry);
            }
            bool ended = shared_->ended;
            lock.unlock();
            if (!ended) {
                thread_.detach();
                return;
            }
            thread_.join();
        }
        for (int& end : shared_->pipe) {
            if (end >= 0) ::close(end);
            end = -1;
        }
    }

    std::shared_ptr<WatchShared> shared_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<ModemLineWatch> watchModemLines(int fd) {
    auto shared = std::make_shared<WatchShared>();
    shared->port = fd;
    if (pipe2(shared->pipe, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
    auto watch = std::make_unique<ThreadModemLineWatch>(shared);
    if (!watch->start()) return nullptr;
    return watch;
}

}  // namespace serialtap

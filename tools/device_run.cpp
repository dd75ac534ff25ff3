#include "tools/device_run.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace serialtap::device {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A reader opens, configures and then purges the port; bytes sent before
// the purge would be thrown away, so sending starts a little after the open.
constexpr milliseconds kSettleAfterOpen{200};
// How often a hang-up of the master is looked at again: poll cannot wait for
// it to clear.
constexpr milliseconds kRecheck{10};
// After the count, how long a port that nobody drains is waited for.
constexpr milliseconds kGiveUpUndrained{1000};
// Each write under a rate limit carries about this much time's worth of bytes.
constexpr int kSlotsPerSecond = 100;

int timeoutUntil(Clock::time_point now, Clock::time_point when) {
    if (when <= now) {
        return 0;
    }
    // Rounded up so that a wait never ends just before its time and spins.
    const auto wait = std::chrono::ceil<milliseconds>(when - now).count();
    return static_cast<int>(std::min<long long>(wait, std::numeric_limits<int>::max()));
}

class DeviceRun {
public:
    DeviceRun(const PseudoTerminal& terminal, const DeviceOptions& options, ContentSource& source)
        : terminal_(terminal), options_(options), source_(source) {
        if (options.rate > 0) {
            slotBytes_ = std::max<std::uint64_t>(1, options.rate / kSlotsPerSecond);
        }
    }

    int run(int stopFd);

private:
    bool countReached() const {
        if (options_.count == 0) {
            return false;
        }
        return (source_.countsBytes() ? bytesTaken_ : unitsTaken_) >= options_.count;
    }
    void takeNextUnit(Clock::time_point now);
    // Gives the poll timeout for the sending state and whether to write.
    int planSending(Clock::time_point now, bool& wantWrite);
    // True when the device is done waiting for the port to be drained.
    bool lingerDone(Clock::time_point now);
    bool writeSome(Clock::time_point now);
    void discardInput();

    const PseudoTerminal& terminal_;
    const DeviceOptions& options_;
    ContentSource& source_;
    std::uint64_t slotBytes_ = std::numeric_limits<std::uint64_t>::max();

    std::string pending_;
    std::size_t offset_ = 0;
    std::uint64_t unitsTaken_ = 0;
    std::uint64_t bytesTaken_ = 0;
    Clock::time_point nextUnit_ = Clock::now();
    Clock::time_point lineFree_ = Clock::now();

    bool finished_ = false;
    int lastQueued_ = -1;
    int emptyChecks_ = 0;
    Clock::time_point lastProgress_{};
};

void DeviceRun::takeNextUnit(Clock::time_point now) {
    const std::uint64_t limit = options_.count == 0 ? std::numeric_limits<std::uint64_t>::max()
                                                    : options_.count - bytesTaken_;
    pending_ = source_.unit(unitsTaken_, limit);
    offset_ = 0;
    ++unitsTaken_;
    bytesTaken_ += pending_.size();
    if (source_.countsBytes()) {
        nextUnit_ = now;
    } else {
        // On time, the next unit keeps to the interval without drift; after
        // a stall (nobody reading) it starts afresh rather than bursting.
        nextUnit_ = std::max(nextUnit_ + options_.interval, now);
    }
}

int DeviceRun::planSending(Clock::time_point now, bool& wantWrite) {
    wantWrite = false;
    if (offset_ == pending_.size()) {
        if (countReached()) {
            finished_ = true;
            lastProgress_ = now;
            return 0;
        }
        if (now < nextUnit_) {
            return timeoutUntil(now, nextUnit_);
        }
        takeNextUnit(now);
    }
    if (options_.rate > 0 && now < lineFree_) {
        return timeoutUntil(now, lineFree_);
    }
    wantWrite = true;
    return -1;
}

bool DeviceRun::lingerDone(Clock::time_point now) {
    if (options_.waitOpen) {
        return !terminal_.portOpenElsewhere();
    }
    const int queued = terminal_.bytesQueuedAtPort();
    if (queued <= 0) {
        // Bytes can sit a moment between the master and the port's queue,
        // so an empty queue counts once it has been seen empty twice.
        return ++emptyChecks_ >= 2;
    }
    emptyChecks_ = 0;
    if (lastQueued_ < 0 || queued < lastQueued_) {
        lastProgress_ = now;
    }
    lastQueued_ = queued;
    return now - lastProgress_ >= kGiveUpUndrained;
}

bool DeviceRun::writeSome(Clock::time_point now) {
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(pending_.size() - offset_, slotBytes_));
    const ssize_t written = ::write(terminal_.master(), pending_.data() + offset_, size);
    if (written < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return true;
        }
        // With nobody holding the port, the hang-up check pauses sending.
        if (errno == EIO && options_.waitOpen) {
            return true;
        }
        std::fprintf(stderr, "serialtap-virtual-device: write: %s\n", std::strerror(errno));
        return false;
    }
    offset_ += static_cast<std::size_t>(written);
    if (options_.rate > 0) {
        const auto busy = std::chrono::nanoseconds(static_cast<std::int64_t>(
            static_cast<std::uint64_t>(written) * 1000000000ULL / options_.rate));
        lineFree_ = std::max(lineFree_, now) + busy;
    }
    return true;
}

void DeviceRun::discardInput() {
    // Whatever a reader sends is dropped so that it never blocks on us.
    char buffer[4096];
    while (::read(terminal_.master(), buffer, sizeof buffer) > 0) {
    }
}

int DeviceRun::run(int stopFd) {
    bool listening = !options_.waitOpen;
    for (;;) {
        const Clock::time_point now = Clock::now();
        bool portOpen = true;
        int timeoutMs = -1;
        bool wantWrite = false;
        if (options_.waitOpen) {
            portOpen = terminal_.portOpenElsewhere();
            if (!portOpen) {
                if (finished_) {
                    return 0;
                }
                listening = false;
                timeoutMs = static_cast<int>(kRecheck.count());
            } else if (!listening) {
                listening = true;
                nextUnit_ = std::max(nextUnit_, now + kSettleAfterOpen);
                lineFree_ = std::max(lineFree_, now + kSettleAfterOpen);
            }
        }
        if (listening && !finished_) {
            timeoutMs = planSending(now, wantWrite);
        }
        if (finished_) {
            if (lingerDone(now)) {
                return 0;
            }
            timeoutMs = static_cast<int>(kRecheck.count());
        }
        pollfd entries[2] = {{stopFd, POLLIN, 0}, {-1, 0, 0}};
        if (portOpen) {
            entries[1].fd = terminal_.master();
            entries[1].events = static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0));
        }
        if (poll(entries, 2, timeoutMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "serialtap-virtual-device: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (entries[0].revents != 0) {
            return 0;
        }
        if ((entries[1].revents & POLLIN) != 0) {
            discardInput();
        }
        if ((entries[1].revents & POLLOUT) != 0 && !writeSome(Clock::now())) {
            return 1;
        }
    }
}

}  // namespace

int runDevice(const PseudoTerminal& terminal, const DeviceOptions& options, ContentSource& source,
              int stopFd) {
    DeviceRun run(terminal, options, source);
    return run.run(stopFd);
}

}  // namespace serialtap::device

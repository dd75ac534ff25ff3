#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "port/custom_baud.h"
#include "port/line_check.h"
#include "port/posix_line_settings.h"
#include "port/posix_port_name.h"
#include "port/serial_device.h"

namespace serialtap {

namespace {

using Clock = std::chrono::steady_clock;

bool statOf(int fd, struct stat& status) { return fstat(fd, &status) == 0; }

// The terminal the program runs in: its controlling terminal, or one its
// standard streams are on. Configured as a port, it would take the stop keys.
bool isOwnTerminal(int fd) {
    pid_t session = 0;
    if (ioctl(fd, TIOCGSID, &session) == 0 && session == getsid(0)) return true;
    struct stat port {};
    if (!statOf(fd, port) || !S_ISCHR(port.st_mode)) return false;
    for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; ++standard) {
        struct stat other {};
        if (isatty(standard) && statOf(standard, other) && S_ISCHR(other.st_mode) &&
            other.st_rdev == port.st_rdev) {
            return true;
        }
    }
    return false;
}

// Two names of one device are one port, whatever their paths.
bool isSameFile(int fd, int other) {
    struct stat first {};
    struct stat second {};
    if (!statOf(fd, first) || !statOf(other, second)) return false;
    if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) {
        return first.st_rdev == second.st_rdev;
    }
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// The symbolic links met on the way to the file, as on a name that udev or
// a simulator keeps pointed at the device: each one's target and identity,
// which change when it is pointed anew; empty when there is none.
std::string linksOnTheWay(const std::string& path) {
    std::string links;
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string part = path.substr(0, end);
        struct stat status {};
        if (lstat(part.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
            char target[4096];
            ssize_t size = readlink(part.c_str(), target, sizeof target);
            links += std::string(target, size > 0 ? static_cast<std::size_t>(size) : 0) + '\n' +
                     std::to_string(status.st_ino) + ' ' + std::to_string(status.st_ctime) + '\n';
        }
        if (end == std::string::npos) return links;
    }
}

// Everything one open of the port sets up and uses. It is the device's
// base, so that the code names these as the device's own, and every open
// assigns it afresh: a reopened port keeps nothing of the one that was
// lost, not its queue nor what its shutdown has already read.
struct PosixOpenState {
    int fd_ = -1;
    std::uint8_t queue_[4096] = {};
    std::size_t queueStart_ = 0;
    std::size_t queueEnd_ = 0;
    bool lastReadLarge_ = false;
    int readsSincePoll_ = 0;
    termios terminal_{};
    Timeouts timeouts_{};
    std::uint32_t eventMask_ = 0;
    std::vector<pollfd> polls_;
    std::vector<NativeHandle> peers_;
    std::vector<NativeHandle> wakes_;
    bool wakeReady_ = false;
    bool exclusive_ = false;
    bool pseudoTerminal_ = false;
    bool reopenable_ = true;
    bool haveOriginal_ = false;
    DriverLineState original_{};
    bool shuttingDown_ = false;
    Clock::time_point shutdownEnd_{};
    std::size_t readAtShutdown_ = 0;
};

class PosixSerialDevice final : public SerialDevice, private PosixOpenState {
public:
    ~PosixSerialDevice() override { release(); }

    bool open(const std::string& portName) override {
        release();
        static_cast<PosixOpenState&>(*this) = PosixOpenState{};
        refusal_ = PortRefusal::None;
        const std::string path = posixDevicePath(portName);
        // A link left naming the terminal that hung up names a terminal
        // that is no longer the device's, or soon another program's: it is
        // taken as no port until it is pointed anew.
        struct stat named {};
        if (!terminalLinks_.empty() && stat(path.c_str(), &named) == 0 && S_ISCHR(named.st_mode) &&
            named.st_rdev == linkedTerminal_ && linksOnTheWay(path) == terminalLinks_) {
            return failWith(ENOENT);
        }
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return failWith(errno);
        // Refused before anything about the port is changed.
        if (isOwnTerminal(fd)) refusal_ = PortRefusal::OwnTerminal;
        if (avoided_ >= 0 && isSameFile(fd, avoided_)) refusal_ = PortRefusal::CaptureFile;
        if (refusal_ != PortRefusal::None) {
            ::close(fd);
            return failWith(EBUSY);
        }
        // flock holds against root too, which TIOCEXCL does not.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int code = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return failWith(code);
        }
        // Not a terminal: found out by the queue setup.
        exclusive_ = ioctl(fd, TIOCEXCL) == 0;
        struct stat status {};
        pseudoTerminal_ = statOf(fd, status) && S_ISCHR(status.st_mode) &&
                          isPseudoTerminalMajor(major(status.st_rdev));
        terminalLinks_ = pseudoTerminal_ ? linksOnTheWay(path) : std::string();
        linkedTerminal_ = status.st_rdev;
        reopenable_ = !pseudoTerminal_ || !terminalLinks_.empty();
        // Put back at the close, so a console or another program on the
        // port finds it as it was.
        haveOriginal_ = readDriverLineState(fd, original_);
        fd_ = fd;
        return true;
    }

    PortRefusal refusal() const override { return refusal_; }
    bool reopenable() const override { return reopenable_; }
    void avoidFile(NativeHandle file) override { avoided_ = static_cast<int>(file); }

    bool setupQueues(std::uint32_t, std::uint32_t) override {
        // Nothing to size on POSIX; this is where a non-terminal is refused.
        return isatty(fd_) ? true : failWith(errno == 0 ? ENOTTY : errno);
    }

    bool getLineSettings(LineSettings& settings) override {
        if (tcgetattr(fd_, &terminal_) != 0) return failWith(errno);
        settings = readLineSettings(terminal_);
        return true;
    }

    bool setLineSettings(const LineSettings& settings) override {
        termios wanted = terminal_;
        bool needsCustomBaud = false;
        if (int code = applyLineSettings(wanted, settings, needsCustomBaud)) return failWith(code);
        if (tcsetattr(fd_, TCSANOW, &wanted) != 0) return failWith(errno);
        if (needsCustomBaud && !setCustomBaud(fd_, settings.baudRate)) return failWith(errno);
        terminal_ = wanted;
        // A driver takes what it can of a change and says so only when asked
        // again. A pseudo-terminal has no framing and keeps 8 bits whatever
        // is asked, so it is left out.
        if (!pseudoTerminal_ && !taken(settings)) return failWith(EINVAL);
        return true;
    }

    // Reads follow a poll that reported input, so they return at once with
    // what is queued; the time-outs only need keeping.
    bool getTimeouts(Timeouts& timeouts) override {
        timeouts = timeouts_;
        return true;
    }

    bool setTimeouts(const Timeouts& timeouts) override {
        timeouts_ = timeouts;
        return true;
    }

    bool setEventMask(std::uint32_t mask) override {
        eventMask_ = mask;
        return true;
    }

    bool purge(std::uint32_t) override {
        queueStart_ = queueEnd_ = 0;
        return tcflush(fd_, TCIOFLUSH) == 0 ? true : failWith(errno);
    }

    bool createEvent() override { return true; }

    void setWakeHandles(const std::vector<NativeHandle>& handles) override {
        polls_.assign(1, pollfd{fd_, POLLIN, 0});
        for (NativeHandle handle : handles) {
            polls_.push_back(pollfd{static_cast<int>(handle), POLLIN, 0});
        }
        // The port comes first in the poll, so the neighbours can follow
        // the wake handles.
        if (&handles != &wakes_) wakes_ = handles;
        for (NativeHandle handle : peers_) {
            polls_.push_back(pollfd{static_cast<int>(handle), POLLIN, 0});
        }
        if (writable_) polls_.push_back(pollfd{static_cast<int>(*writable_), POLLOUT, 0});
    }

    void setPeerHandles(const std::vector<NativeHandle>& handles) override {
        peers_ = handles;
        setWakeHandles(wakes_);
    }

    std::optional<NativeHandle> readyHandle() const override {
        if (fd_ < 0) return std::nullopt;
        return fd_;
    }

    bool holdsInput() const override { return queued() > 0; }

    bool setWritableWake(std::optional<NativeHandle> handle) override {
        if (writable_ && !polls_.empty() && polls_.back().events == POLLOUT) polls_.pop_back();
        writable_ = handle;
        if (writable_) {
            if (polls_.empty()) polls_.assign(1, pollfd{fd_, POLLIN, 0});
            polls_.push_back(pollfd{static_cast<int>(*writable_), POLLOUT, 0});
        }
        return true;
    }

    EventWait waitEvent(std::uint32_t& eventMask, std::uint32_t milliseconds) override {
        // Bytes already taken in, or a stream that filled the last read,
        // need no poll; the poll still comes every few reads, so keys and
        // stop requests are seen within a few kilobytes of a flood.
        if (queued() > 0 || (lastReadLarge_ && ++readsSincePoll_ < kReadsBetweenPolls)) {
            wakeReady_ = false;
            eventMask = eventMask_ & kEventRxChar;
            return EventWait::Event;
        }
        readsSincePoll_ = 0;
        if (polls_.empty()) setWakeHandles({});
        if (!pollAll(polls_.data(), polls_.size(), pollTimeout(milliseconds))) {
            return EventWait::Failed;
        }
        wakeReady_ = anyReady(polls_.data() + 1, polls_.size() - 1);
        // Only a wait with a limit can end with nothing ready.
        if (milliseconds != kWaitForever && !wakeReady_ && polls_[0].revents == 0) {
            return EventWait::TimedOut;
        }
        short port = polls_[0].revents;
        if (port & (POLLHUP | POLLERR | POLLNVAL)) {
            // A hung-up port with nothing left to read has failed; bytes it
            // still holds are read first.
            int queued = 0;
            if (ioctl(fd_, FIONREAD, &queued) != 0 || queued == 0) return failed(EIO);
            port |= POLLIN;
        }
        if (port & POLLIN) {
            eventMask = eventMask_ & kEventRxChar;
            return EventWait::Event;
        }
        return EventWait::Woken;
    }

    bool wakeReady() const override { return wakeReady_; }

    WakeWait waitWake(std::uint32_t milliseconds) override {
        std::size_t count = polls_.size() > 1 ? polls_.size() - 1 : 0;
        pollfd* wakes = count > 0 ? polls_.data() + 1 : nullptr;
        if (count == 0) {
            ::poll(nullptr, 0, pollTimeout(milliseconds));
            wakeReady_ = false;
            return WakeWait::TimedOut;
        }
        wakeReady_ = pollAll(wakes, count, pollTimeout(milliseconds)) && anyReady(wakes, count);
        return wakeReady_ ? WakeWait::Woken : WakeWait::TimedOut;
    }

    // The port is read a few kilobytes at a time, as a serial driver fills
    // its input queue, and each pass takes its bytes from there: small
    // reads straight from the terminal cost several times the CPU. Taking
    // in what is waiting also tells how much is queued.
    bool clearErrors(std::uint32_t& queuedBytes) override {
        if (queued() == 0 && !fillQueue()) return false;
        queuedBytes = static_cast<std::uint32_t>(queued());
        return true;
    }

    ReadStart startRead(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& count) override {
        count = 0;
        if (queued() == 0 && !fillQueue()) return ReadStart::Failed;
        count = takeQueued(buffer, size);
        return ReadStart::Completed;
    }

    // At the shutdown, what the terminal layer already holds is read too,
    // until the port would block, within bounds a flood cannot outrun.
    std::uint32_t takeBuffered(std::uint8_t* buffer, std::uint32_t size) override {
        if (queued() == 0 && fd_ >= 0) readAtShutdown();
        return takeQueued(buffer, size);
    }

    // Reads never go on in the background here.
    CompletionWait waitRead(std::uint32_t) override { return CompletionWait::Signalled; }
    bool readResult(std::uint32_t& count) override {
        count = 0;
        return true;
    }
    std::uint32_t cancelRead() override { return 0; }

    bool closePort() override { return release(); }

    bool closeEvent() override { return true; }

    int lastError() const override { return error_; }

    // A port that went away hangs up (reported as EIO) or fails its calls
    // with EIO, ENXIO or ENODEV; opened, a port that is not there now gives
    // ENOENT (a /dev/serial/by-id link not yet back) or the same codes.
    bool isGone(FailedCall call, int code, int) const override {
        if (call == FailedCall::Open && code == ENOENT) return true;
        return code == EIO || code == ENXIO || code == ENODEV;
    }

private:
    bool release() {
        int fd = fd_;
        fd_ = -1;
        polls_.clear();
        if (fd < 0) return true;
        if (haveOriginal_) writeDriverLineState(fd, original_);
        // Exclusive mode outlives the close while the far side of a
        // pseudo-terminal is open; the next program must be able to open it.
        if (exclusive_) ioctl(fd, TIOCNXCL);
        haveOriginal_ = exclusive_ = false;
        return ::close(fd) == 0 ? true : failWith(errno);
    }

    static int pollTimeout(std::uint32_t milliseconds) {
        constexpr std::uint32_t kLongest = 0x7FFFFFFF;
        if (milliseconds == kWaitForever) return -1;
        return static_cast<int>(milliseconds < kLongest ? milliseconds : kLongest);
    }

    bool failWith(int code) {
        error_ = code;
        return false;
    }

    EventWait failed(int code) {
        error_ = code;
        return EventWait::Failed;
    }

    bool pollAll(pollfd* fds, std::size_t count, int timeout) {
        for (;;) {
            int ready = ::poll(fds, count, timeout);
            if (ready >= 0) return true;
            // A signal's handler has written to the stop pipe, which the
            // next poll reports.
            if (errno != EINTR) return failWith(errno);
        }
    }

    static bool anyReady(const pollfd* fds, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (fds[i].revents != 0) return true;
        }
        return false;
    }

    bool taken(const LineSettings& asked) {
        termios now{};
        std::uint32_t input = 0;
        std::uint32_t output = 0;
        if (tcgetattr(fd_, &now) != 0 || !readRates(fd_, input, output)) return false;
        LineSettings reported = readLineSettings(now);
        reported.baudRate = output;
        return lineSettingsTaken(asked, reported, input);
    }

    std::uint32_t takeQueued(std::uint8_t* buffer, std::uint32_t size) {
        std::size_t take = queued() < size ? queued() : size;
        std::memcpy(buffer, queue_ + queueStart_, take);
        queueStart_ += take;
        return static_cast<std::uint32_t>(take);
    }

    void readAtShutdown() {
        auto now = Clock::now();
        if (!shuttingDown_) {
            shuttingDown_ = true;
            shutdownEnd_ = now + kShutdownReadTime;
        }
        while (readAtShutdown_ < kShutdownReadBytes && now < shutdownEnd_) {
            ssize_t got = ::read(fd_, queue_, sizeof queue_);
            if (got > 0) {
                queueStart_ = 0;
                queueEnd_ = static_cast<std::size_t>(got);
                readAtShutdown_ += queueEnd_;
                return;
            }
            int code = got < 0 ? errno : 0;
            if (code != EAGAIN && code != EINTR) return;
            // The terminal layer moves bytes it holds into reach in the
            // background; a moment lets it catch up where bytes were
            // flowing. An idle port is done at once, so q stays quick.
            if (code == EAGAIN && !lastReadLarge_ && readAtShutdown_ == 0) return;
            if (code == EAGAIN) {
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(shutdownEnd_ - now);
                int wait = static_cast<int>(left.count()) + 1;
                pollfd ready{fd_, POLLIN, 0};
                if (::poll(&ready, 1, wait < kSettleMs ? wait : kSettleMs) <= 0) return;
            }
            now = Clock::now();
        }
    }

    static constexpr int kReadsBetweenPolls = 16;
    static constexpr std::size_t kShutdownReadBytes = std::size_t{1} << 20;
    static constexpr std::chrono::milliseconds kShutdownReadTime{100};
    static constexpr int kSettleMs = 20;

    // One read of what the terminal holds; nothing waiting is no failure.
    bool fillQueue() {
        ssize_t got = ::read(fd_, queue_, sizeof queue_);
        if (got < 0 && errno != EAGAIN && errno != EINTR) return failWith(errno);
        queueStart_ = 0;
        queueEnd_ = got > 0 ? static_cast<std::size_t>(got) : 0;
        lastReadLarge_ = queueEnd_ > sizeof queue_ / 2;
        return true;
    }

    std::size_t queued() const { return queueEnd_ - queueStart_; }

    int error_ = 0;
    // Set by the capture loop, not by an open: it outlives a reopen, and the
    // wake handles given after the reopen bring it back into the poll.
    std::optional<NativeHandle> writable_;
    PortRefusal refusal_ = PortRefusal::None;
    int avoided_ = -1;
    // The pseudo-terminal last opened through a link, and that link, which
    // a reopen must find pointed anew; none when the port is no such one.
    std::string terminalLinks_;
    dev_t linkedTerminal_ = 0;
};

}  // namespace

std::unique_ptr<SerialDevice> makePlatformDevice() { return std::make_unique<PosixSerialDevice>(); }

}  // namespace serialtap

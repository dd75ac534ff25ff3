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

// Whether a symbolic link is met on the way to the file, as on a name that
// udev or a simulator keeps pointed at the device.
bool reachedThroughLink(const std::string& path) {
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string part = path.substr(0, end);
        struct stat status {};
        if (lstat(part.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) return true;
        if (end == std::string::npos) return false;
    }
}

class PosixSerialDevice final : public SerialDevice {
public:
    ~PosixSerialDevice() override { release(); }

    bool open(const std::string& portName) override {
        release();
        port_ = OpenPort{};
        refusal_ = PortRefusal::None;
        const std::string path = posixDevicePath(portName);
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
        port_.exclusive = ioctl(fd, TIOCEXCL) == 0;
        struct stat status {};
        port_.pseudoTerminal = statOf(fd, status) && S_ISCHR(status.st_mode) &&
                               isPseudoTerminalMajor(major(status.st_rdev));
        port_.reopenable = !port_.pseudoTerminal || reachedThroughLink(path);
        // Put back at the close, so a console or another program on the
        // port finds it as it was.
        port_.haveOriginal = readDriverLineState(fd, port_.original);
        port_.fd = fd;
        return true;
    }

    PortRefusal refusal() const override { return refusal_; }
    bool reopenable() const override { return port_.reopenable; }
    void avoidFile(NativeHandle file) override { avoided_ = static_cast<int>(file); }

    bool setupQueues(std::uint32_t, std::uint32_t) override {
        // Nothing to size on POSIX; this is where a non-terminal is refused.
        return isatty(port_.fd) ? true : failWith(errno == 0 ? ENOTTY : errno);
    }

    bool getLineSettings(LineSettings& settings) override {
        if (tcgetattr(port_.fd, &port_.terminal) != 0) return failWith(errno);
        settings = readLineSettings(port_.terminal);
        return true;
    }

    bool setLineSettings(const LineSettings& settings) override {
        termios wanted = port_.terminal;
        bool needsCustomBaud = false;
        if (int code = applyLineSettings(wanted, settings, needsCustomBaud)) return failWith(code);
        if (tcsetattr(port_.fd, TCSANOW, &wanted) != 0) return failWith(errno);
        if (needsCustomBaud && !setCustomBaud(port_.fd, settings.baudRate)) return failWith(errno);
        port_.terminal = wanted;
        // A driver takes what it can of a change and says so only when asked
        // again. A pseudo-terminal has no framing and keeps 8 bits whatever
        // is asked, so it is left out.
        if (!port_.pseudoTerminal && !taken(settings)) return failWith(EINVAL);
        return true;
    }

    // Reads follow a poll that reported input, so they return at once with
    // what is queued; the time-outs only need keeping.
    bool getTimeouts(Timeouts& timeouts) override {
        timeouts = port_.timeouts;
        return true;
    }

    bool setTimeouts(const Timeouts& timeouts) override {
        port_.timeouts = timeouts;
        return true;
    }

    bool setEventMask(std::uint32_t mask) override {
        port_.eventMask = mask;
        return true;
    }

    bool purge(std::uint32_t) override {
        port_.queueStart = port_.queueEnd = 0;
        return tcflush(port_.fd, TCIOFLUSH) == 0 ? true : failWith(errno);
    }

    bool createEvent() override { return true; }

    void setWakeHandles(const std::vector<NativeHandle>& handles) override {
        port_.polls.assign(1, pollfd{port_.fd, POLLIN, 0});
        for (NativeHandle handle : handles) {
            port_.polls.push_back(pollfd{static_cast<int>(handle), POLLIN, 0});
        }
    }

    EventWait waitEvent(std::uint32_t& eventMask, std::uint32_t milliseconds) override {
        // Bytes already taken in, or a stream that filled the last read,
        // need no poll; the poll still comes every few reads, so keys and
        // stop requests are seen within a few kilobytes of a flood.
        if (queued() > 0 || (port_.lastReadLarge && ++port_.readsSincePoll < kReadsBetweenPolls)) {
            port_.wakeReady = false;
            eventMask = port_.eventMask & kEventRxChar;
            return EventWait::Event;
        }
        port_.readsSincePoll = 0;
        if (port_.polls.empty()) setWakeHandles({});
        if (!pollAll(port_.polls.data(), port_.polls.size(), pollTimeout(milliseconds))) {
            return EventWait::Failed;
        }
        port_.wakeReady = anyReady(port_.polls.data() + 1, port_.polls.size() - 1);
        // Only a wait with a limit can end with nothing ready.
        if (milliseconds != kWaitForever && !port_.wakeReady && port_.polls[0].revents == 0) {
            return EventWait::TimedOut;
        }
        short port = port_.polls[0].revents;
        if (port & (POLLHUP | POLLERR | POLLNVAL)) {
            // A hung-up port with nothing left to read has failed; bytes it
            // still holds are read first.
            int queued = 0;
            if (ioctl(port_.fd, FIONREAD, &queued) != 0 || queued == 0) return failed(EIO);
            port |= POLLIN;
        }
        if (port & POLLIN) {
            eventMask = port_.eventMask & kEventRxChar;
            return EventWait::Event;
        }
        return EventWait::Woken;
    }

    bool wakeReady() const override { return port_.wakeReady; }

    WakeWait waitWake(std::uint32_t milliseconds) override {
        std::size_t count = port_.polls.size() > 1 ? port_.polls.size() - 1 : 0;
        pollfd* wakes = count > 0 ? port_.polls.data() + 1 : nullptr;
        if (count == 0) {
            ::poll(nullptr, 0, pollTimeout(milliseconds));
            port_.wakeReady = false;
            return WakeWait::TimedOut;
        }
        port_.wakeReady =
            pollAll(wakes, count, pollTimeout(milliseconds)) && anyReady(wakes, count);
        return port_.wakeReady ? WakeWait::Woken : WakeWait::TimedOut;
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
        if (queued() == 0 && port_.fd >= 0) readAtShutdown();
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
        int fd = port_.fd;
        port_.fd = -1;
        port_.polls.clear();
        if (fd < 0) return true;
        if (port_.haveOriginal) writeDriverLineState(fd, port_.original);
        // Exclusive mode outlives the close while the far side of a
        // pseudo-terminal is open; the next program must be able to open it.
        if (port_.exclusive) ioctl(fd, TIOCNXCL);
        port_.haveOriginal = port_.exclusive = false;
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
        if (tcgetattr(port_.fd, &now) != 0 || !readRates(port_.fd, input, output)) return false;
        LineSettings reported = readLineSettings(now);
        reported.baudRate = output;
        return lineSettingsTaken(asked, reported, input);
    }

    std::uint32_t takeQueued(std::uint8_t* buffer, std::uint32_t size) {
        std::size_t take = queued() < size ? queued() : size;
        std::memcpy(buffer, port_.queue + port_.queueStart, take);
        port_.queueStart += take;
        return static_cast<std::uint32_t>(take);
    }

    void readAtShutdown() {
        auto now = Clock::now();
        if (!port_.shuttingDown) {
            port_.shuttingDown = true;
            port_.shutdownEnd = now + kShutdownReadTime;
        }
        while (port_.readAtShutdown < kShutdownReadBytes && now < port_.shutdownEnd) {
            ssize_t got = ::read(port_.fd, port_.queue, sizeof port_.queue);
            if (got > 0) {
                port_.queueStart = 0;
                port_.queueEnd = static_cast<std::size_t>(got);
                port_.readAtShutdown += port_.queueEnd;
                return;
            }
            int code = got < 0 ? errno : 0;
            if (code != EAGAIN && code != EINTR) return;
            // The terminal layer moves bytes it holds into reach in the
            // background; a moment lets it catch up where bytes were
            // flowing. An idle port is done at once, so q stays quick.
            if (code == EAGAIN && !port_.lastReadLarge && port_.readAtShutdown == 0) return;
            if (code == EAGAIN) {
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(port_.shutdownEnd - now);
                int wait = static_cast<int>(left.count()) + 1;
                pollfd ready{port_.fd, POLLIN, 0};
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
        ssize_t got = ::read(port_.fd, port_.queue, sizeof port_.queue);
        if (got < 0 && errno != EAGAIN && errno != EINTR) return failWith(errno);
        port_.queueStart = 0;
        port_.queueEnd = got > 0 ? static_cast<std::size_t>(got) : 0;
        port_.lastReadLarge = port_.queueEnd > sizeof port_.queue / 2;
        return true;
    }

    std::size_t queued() const { return port_.queueEnd - port_.queueStart; }

    // Everything one open of the port sets up and uses, made afresh by
    // every open: a reopened port keeps nothing of the one that was lost,
    // not its queue nor what its shutdown has already read.
    struct OpenPort {
        int fd = -1;
        std::uint8_t queue[4096] = {};
        std::size_t queueStart = 0;
        std::size_t queueEnd = 0;
        bool lastReadLarge = false;
        int readsSincePoll = 0;
        termios terminal{};
        Timeouts timeouts{};
        std::uint32_t eventMask = 0;
        std::vector<pollfd> polls;
        bool wakeReady = false;
        bool exclusive = false;
        bool pseudoTerminal = false;
        bool reopenable = true;
        bool haveOriginal = false;
        DriverLineState original{};
        bool shuttingDown = false;
        Clock::time_point shutdownEnd{};
        std::size_t readAtShutdown = 0;
    };

    OpenPort port_;
    int error_ = 0;
    PortRefusal refusal_ = PortRefusal::None;
    int avoided_ = -1;
};

}  // namespace

std::unique_ptr<SerialDevice> makePlatformDevice() { return std::make_unique<PosixSerialDevice>(); }

}  // namespace serialtap

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
#include <utility>
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

// When a file's status last changed, to the nanosecond: a link removed
// and made again within the same second often gets its inode back.
std::string changeTime(const struct stat& status) {
#ifdef __APPLE__
    const timespec& changed = status.st_ctimespec;
#else
    const timespec& changed = status.st_ctim;
#endif
    return std::to_string(changed.tv_sec) + '.' + std::to_string(changed.tv_nsec);
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
                     std::to_string(status.st_ino) + ' ' + changeTime(status) + '\n';
        }
        if (end == std::string::npos) return links;
    }
}

// Everything one open of the port sets up and uses; every open starts
// from a fresh one: a reopened port keeps nothing of the one that was
// lost, not its queue nor what its shutdown has already read.
struct PosixOpenState {
    int fd = -1;
    std::uint8_t queue[4096] = {};
    std::size_t queueStart = 0;
    std::size_t queueEnd = 0;
    bool lastReadLarge = false;
    int readsSincePoll = 0;
    termios terminal{};
    Timeouts timeouts{};
    std::uint32_t eventMask = 0;
    // What the capture's last wait found of the port.
    bool found = false;
    bool hungUp = false;
    bool exclusive = false;
    bool pseudoTerminal = false;
    bool reopenable = true;
    bool haveOriginal = false;
    DriverLineState original{};
    bool shuttingDown = false;
    Clock::time_point shutdownEnd{};
    std::size_t readAtShutdown = 0;
};

class PosixSerialDevice final : public SerialDevice {
public:
    ~PosixSerialDevice() override { release(); }

    bool open(const std::string& portName) override {
        release();
        open_ = PosixOpenState{};
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
        open_.exclusive = ioctl(fd, TIOCEXCL) == 0;
        struct stat status {};
        open_.pseudoTerminal = statOf(fd, status) && S_ISCHR(status.st_mode) &&
                               isPseudoTerminalMajor(major(status.st_rdev));
        terminalLinks_ = open_.pseudoTerminal ? linksOnTheWay(path) : std::string();
        linkedTerminal_ = status.st_rdev;
        open_.reopenable = !open_.pseudoTerminal || !terminalLinks_.empty();
        // Put back at the close, so a console or another program on the
        // port finds it as it was.
        open_.haveOriginal = readDriverLineState(fd, open_.original);
        open_.fd = fd;
        return true;
    }

    PortRefusal refusal() const override { return refusal_; }
    bool reopenable() const override { return open_.reopenable; }
    void avoidFile(NativeHandle file) override { avoided_ = static_cast<int>(file); }

    bool setupQueues(std::uint32_t, std::uint32_t) override {
        // Nothing to size on POSIX; this is where a non-terminal is refused.
        return isatty(open_.fd) ? true : failWith(errno == 0 ? ENOTTY : errno);
    }

    bool getLineSettings(LineSettings& settings) override {
        if (tcgetattr(open_.fd, &open_.terminal) != 0) return failWith(errno);
        settings = readLineSettings(open_.terminal);
        return true;
    }

    bool setLineSettings(const LineSettings& settings) override {
        termios wanted = open_.terminal;
        bool needsCustomBaud = false;
        if (int code = applyLineSettings(wanted, settings, needsCustomBaud)) return failWith(code);
        if (tcsetattr(open_.fd, TCSANOW, &wanted) != 0) return failWith(errno);
        if (needsCustomBaud && !setCustomBaud(open_.fd, settings.baudRate)) return failWith(errno);
        open_.terminal = wanted;
        // A driver takes what it can of a change and says so only when asked
        // again. A pseudo-terminal has no framing and keeps 8 bits whatever
        // is asked, so it is left out.
        if (!open_.pseudoTerminal && !taken(settings)) return failWith(EINVAL);
        return true;
    }

    // Reads follow a poll that reported input, so they return at once with
    // what is queued; the time-outs only need keeping.
    bool getTimeouts(Timeouts& timeouts) override {
        timeouts = open_.timeouts;
        return true;
    }

    bool setTimeouts(const Timeouts& timeouts) override {
        open_.timeouts = timeouts;
        return true;
    }

    bool setEventMask(std::uint32_t mask) override {
        open_.eventMask = mask;
        return true;
    }

    bool purge(std::uint32_t) override {
        open_.queueStart = open_.queueEnd = 0;
        return tcflush(open_.fd, TCIOFLUSH) == 0 ? true : failWith(errno);
    }

    bool createEvent() override { return true; }

    // Bytes already taken in, or a stream that filled the last read, need
    // no wait; the wait still comes every few reads, so keys and stop
    // requests are seen within a few kilobytes of a flood.
    void addSources(WaitSet& set, std::size_t port) override {
        if (open_.fd < 0) return;
        if (readsWithoutLook()) set.serveNow();
        set.add(SourceName::Port, port, open_.fd);
    }

    void sourcesFound(const WaitSet& set) override {
        for (const WaitSource& source : set.sources()) {
            if (source.name != SourceName::Port || source.handle != open_.fd) continue;
            open_.found = source.ready;
            open_.hungUp = source.hangUp;
        }
    }

    bool holdsBytes() const override { return queued() > 0; }

    // Whether the next pass reads without the wait's look: bytes are in
    // hand, or the stream filled the last reads and has not yet had its
    // look after kReadsBetweenPolls of them.
    bool readsWithoutLook() const {
        return queued() > 0 ||
               (open_.lastReadLarge && open_.readsSincePoll + 1 < kReadsBetweenPolls);
    }

    EventWait waitEvent(std::uint32_t& eventMask) override {
        if (readsWithoutLook()) {
            if (queued() == 0) ++open_.readsSincePoll;
            eventMask = open_.eventMask & kEventRxChar;
            return EventWait::Event;
        }
        open_.readsSincePoll = 0;
        bool found = std::exchange(open_.found, false);
        bool hungUp = std::exchange(open_.hungUp, false);
        if (!found) return EventWait::Nothing;
        if (hungUp) {
            // A hung-up port with nothing left to read has failed; bytes it
            // still holds are read first.
            int queued = 0;
            if (ioctl(open_.fd, FIONREAD, &queued) != 0 || queued == 0) return failed(EIO);
        }
        eventMask = open_.eventMask & kEventRxChar;
        return EventWait::Event;
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
        if (queued() == 0 && open_.fd >= 0) readAtShutdown();
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
        int fd = open_.fd;
        open_.fd = -1;
        if (fd < 0) return true;
        if (open_.haveOriginal) writeDriverLineState(fd, open_.original);
        // Exclusive mode outlives the close while the far side of a
        // pseudo-terminal is open; the next program must be able to open it.
        if (open_.exclusive) ioctl(fd, TIOCNXCL);
        open_.haveOriginal = open_.exclusive = false;
        return ::close(fd) == 0 ? true : failWith(errno);
    }

    bool failWith(int code) {
        error_ = code;
        return false;
    }

    EventWait failed(int code) {
        error_ = code;
        return EventWait::Failed;
    }

    bool taken(const LineSettings& asked) {
        termios now{};
        std::uint32_t input = 0;
        std::uint32_t output = 0;
        if (tcgetattr(open_.fd, &now) != 0 || !readRates(open_.fd, input, output)) return false;
        LineSettings reported = readLineSettings(now);
        reported.baudRate = output;
        return lineSettingsTaken(asked, reported, input);
    }

    std::uint32_t takeQueued(std::uint8_t* buffer, std::uint32_t size) {
        std::size_t take = queued() < size ? queued() : size;
        std::memcpy(buffer, open_.queue + open_.queueStart, take);
        open_.queueStart += take;
        return static_cast<std::uint32_t>(take);
    }

    void readAtShutdown() {
        auto now = Clock::now();
        if (!open_.shuttingDown) {
            open_.shuttingDown = true;
            open_.shutdownEnd = now + kShutdownReadTime;
        }
        while (open_.readAtShutdown < kShutdownReadBytes && now < open_.shutdownEnd) {
            ssize_t got = ::read(open_.fd, open_.queue, sizeof open_.queue);
            if (got > 0) {
                open_.queueStart = 0;
                open_.queueEnd = static_cast<std::size_t>(got);
                open_.readAtShutdown += open_.queueEnd;
                return;
            }
            int code = got < 0 ? errno : 0;
            if (code != EAGAIN && code != EINTR) return;
            // The terminal layer moves bytes it holds into reach in the
            // background; a moment lets it catch up where bytes were
            // flowing. An idle port is done at once, so q stays quick.
            if (code == EAGAIN && !open_.lastReadLarge && open_.readAtShutdown == 0) return;
            if (code == EAGAIN) {
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(open_.shutdownEnd - now);
                int wait = static_cast<int>(left.count()) + 1;
                pollfd ready{open_.fd, POLLIN, 0};
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
        ssize_t got = ::read(open_.fd, open_.queue, sizeof open_.queue);
        if (got < 0 && errno != EAGAIN && errno != EINTR) return failWith(errno);
        open_.queueStart = 0;
        open_.queueEnd = got > 0 ? static_cast<std::size_t>(got) : 0;
        open_.lastReadLarge = open_.queueEnd > sizeof open_.queue / 2;
        return true;
    }

    std::size_t queued() const { return open_.queueEnd - open_.queueStart; }

    PosixOpenState open_;
    int error_ = 0;
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

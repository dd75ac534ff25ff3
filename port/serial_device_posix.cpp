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
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "port/custom_baud.h"
#include "port/line_check.h"
#include "port/line_watch.h"
#include "port/marked_input.h"
#include "port/pending_marks.h"
#include "port/posix_line_settings.h"
#include "port/posix_port_name.h"
#include "port/serial_device.h"

namespace serialtap {

namespace {

using Clock = std::chrono::steady_clock;

// What one read of the port asks for.
constexpr std::size_t kReadBytes = 4096;

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

// The modem lines now, in the bits of line_event.h; none for a port that
// has none (a pseudo-terminal refuses TIOCMGET).
std::optional<std::uint32_t> readModemLines(int fd) {
    int bits = 0;
    if (fd < 0 || ioctl(fd, TIOCMGET, &bits) != 0) return std::nullopt;
    std::uint32_t lines = 0;
    if (bits & TIOCM_CTS) lines |= kLineCts;
    if (bits & TIOCM_DSR) lines |= kLineDsr;
    if (bits & TIOCM_RNG) lines |= kLineRing;
    if (bits & TIOCM_CD) lines |= kLineDcd;
    return lines;
}

// What a capture that watches its line keeps of one open of the port.
struct LineWatch {
    bool on = false;
    // A read as the line discipline gave it, marks and all, before it is
    // decoded into the queue.
    std::uint8_t raw[kReadBytes] = {};
    MarkedInput input;
    PendingMarks marks;
    // The driver's counts at the open, and at the last look while watching;
    // none for a port that keeps none.
    std::optional<DriverCounts> atOpen;
    DriverCounts lastSeen{};
    // The latest counts, for dropped().
    DriverCounts latest{};
    // The modem lines last seen; none for a port without them.
    std::optional<std::uint32_t> lines;
    // Where the lines can be waited for (Linux), what wakes the wait when
    // they change. Elsewhere they are looked at as the port is read.
    std::unique_ptr<ModemLineWatch> modemWatch;
    bool modemFound = false;
};

// Everything one open of the port sets up and uses; every open starts
// from a fresh one: a reopened port keeps nothing of the one that was
// lost, not its queue nor what its shutdown has already read.
struct PosixOpenState {
    int fd = -1;
    // Room for a decoded read, which can give one byte more than it read.
    std::uint8_t queue[kReadBytes + 1] = {};
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
    LineWatch line;
};

class PosixSerialDevice final : public SerialDevice {
public:
    ~PosixSerialDevice() override { release(); }

    bool open(const std::string& portName) override {
        release();
        open_ = PosixOpenState{};
        open_.line.on = watchLine_;
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
        open_.line.atOpen = readDriverCounts(fd);
        if (open_.line.atOpen) open_.line.lastSeen = open_.line.latest = *open_.line.atOpen;
        // A port whose driver tells nothing of its line (a pseudo-terminal)
        // is read as it always was: it has nothing to mark, and marking
        // would cost the kernel's fastest way of handing over input.
        if (open_.line.on && !open_.line.atOpen && !readModemLines(fd)) open_.line.on = false;
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
        if (open_.line.on) markLineConditions(wanted);
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
        open_.line.input.reset();
        open_.line.marks.clear();
        return tcflush(open_.fd, TCIOFLUSH) == 0 ? true : failWith(errno);
    }

    // The modem lines a watched port has are followed from here on.
    bool createEvent() override {
        LineWatch& line = open_.line;
        if (!line.on || line.modemWatch) return true;
        line.lines = readModemLines(open_.fd);
        if (line.lines) line.modemWatch = watchModemLines(open_.fd);
        return true;
    }

    // Bytes already taken in, or a stream that filled the last read, need
    // no wait; the wait still comes every few reads, so keys and stop
    // requests are seen within a few kilobytes of a flood.
    void addSources(WaitSet& set, std::size_t port) override {
        if (open_.fd < 0) return;
        if (readsWithoutLook()) set.serveNow();
        set.add(SourceName::Port, port, open_.fd);
        if (open_.line.modemWatch) set.add(SourceName::Port, port, open_.line.modemWatch->handle());
    }

    void sourcesFound(const WaitSet& set) override {
        for (const WaitSource& source : set.sources()) {
            if (source.name != SourceName::Port) continue;
            if (source.handle == open_.fd) {
                open_.found = source.ready;
                open_.hungUp = source.hangUp;
            } else if (open_.line.modemWatch && source.handle == open_.line.modemWatch->handle()) {
                open_.line.modemFound = source.ready;
            }
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

    // A change of the modem lines is an event of its own: a pass on a
    // quiet line then reads nothing and takes the mark.
    EventWait waitEvent(std::uint32_t& eventMask) override {
        std::uint32_t lineEvents = 0;
        if (std::exchange(open_.line.modemFound, false)) {
            open_.line.modemWatch->drain();
            lineEvents = open_.eventMask & lookAtModemLines();
        }
        if (readsWithoutLook()) {
            if (queued() == 0) ++open_.readsSincePoll;
            eventMask = (open_.eventMask & kEventRxChar) | lineEvents;
            return EventWait::Event;
        }
        open_.readsSincePoll = 0;
        bool found = std::exchange(open_.found, false);
        bool hungUp = std::exchange(open_.hungUp, false);
        if (!found) {
            eventMask = lineEvents;
            return lineEvents != 0 ? EventWait::Event : EventWait::Nothing;
        }
        if (hungUp) {
            // A hung-up port with nothing left to read has failed; bytes it
            // still holds are read first.
            int queued = 0;
            if (ioctl(open_.fd, FIONREAD, &queued) != 0 || queued == 0) return failed(EIO);
        }
        eventMask = (open_.eventMask & kEventRxChar) | lineEvents;
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

    void watchLine(bool on) override { watchLine_ = on; }

    void takeMarks(std::vector<LineMark>& marks) override { open_.line.marks.take(marks); }

    std::optional<std::uint32_t> modemLines() override { return readModemLines(open_.fd); }

    // Counted whether or not the line is watched; after the port is closed,
    // what was counted until then.
    DropCount dropped() override {
        LineWatch& line = open_.line;
        if (!line.atOpen) return {};
        if (open_.fd >= 0) {
            if (std::optional<DriverCounts> now = readDriverCounts(open_.fd)) line.latest = *now;
        }
        DropCount count;
        count.bytes = static_cast<std::uint32_t>(line.latest.dropped - line.atOpen->dropped);
        return count;
    }

    // At the shutdown, what the terminal layer already holds is read too,
    // until the port would block, within bounds a flood cannot outrun.
    std::uint32_t takeBuffered(std::uint8_t* buffer, std::uint32_t size) override {
        if (queued() == 0 && open_.fd >= 0) {
            readAtShutdown();
            // Bytes dropped since the last read stand at the end, as the
            // end's count of them says.
            if (queued() == 0 && open_.line.on && open_.line.atOpen) {
                markDropped(readDriverCounts(open_.fd), open_.line.marks.returnedSoFar());
            }
        }
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
        // Its thread waits on the port, which must outlive the wait.
        open_.line.modemWatch.reset();
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
        open_.line.marks.returned(take);
        return static_cast<std::uint32_t>(take);
    }

    void readAtShutdown() {
        auto now = Clock::now();
        if (!open_.shuttingDown) {
            open_.shuttingDown = true;
            open_.shutdownEnd = now + kShutdownReadTime;
        }
        while (open_.readAtShutdown < kShutdownReadBytes && now < open_.shutdownEnd) {
            ssize_t got = ::read(open_.fd, readInto(), kReadBytes);
            if (got > 0) {
                takeIn(static_cast<std::size_t>(got));
                open_.readAtShutdown += static_cast<std::size_t>(got);
                // A read of marks alone goes on to the next.
                if (queued() > 0) return;
                now = Clock::now();
                continue;
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
        ssize_t got = ::read(open_.fd, readInto(), kReadBytes);
        if (got < 0 && errno != EAGAIN && errno != EINTR) return failWith(errno);
        std::size_t size = got > 0 ? static_cast<std::size_t>(got) : 0;
        takeIn(size);
        open_.lastReadLarge = size > kReadBytes / 2;
        return true;
    }

    // A watched line is read apart and decoded into the queue.
    std::uint8_t* readInto() { return open_.line.on ? open_.line.raw : open_.queue; }

    // Puts what a read brought into the empty queue.
    void takeIn(std::size_t got) {
        open_.queueStart = 0;
        open_.queueEnd = got;
        if (open_.line.on && got > 0) decode(got);
    }

    // Decodes a read of a watched line: its marks stand among the bytes
    // from where the reads have got to, the queue's first byte. The driver
    // counts, looked at once a read, tell the bytes dropped before the
    // read's end and, as the line discipline marks framing and parity
    // errors alike, which of the two the errors since the last look were
    // when only one kind was counted.
    void decode(std::size_t got) {
        LineWatch& line = open_.line;
        std::optional<DriverCounts> counts;
        if (line.atOpen) counts = readDriverCounts(open_.fd);
        if (counts) {
            bool parityOnly =
                counts->parity != line.lastSeen.parity && counts->frame == line.lastSeen.frame;
            line.input.errorKind(parityOnly ? LineEventKind::ParityError
                                            : LineEventKind::FramingError);
        }
        std::size_t base = line.marks.returnedSoFar();
        open_.queueEnd = line.input.decode(line.raw, got, open_.queue, base, line.marks.list());
        markDropped(counts, base + open_.queueEnd);
        if (!line.modemWatch) lookAtModemLines();
    }

    // The bytes the counts say were dropped since they were last seen, at.
    void markDropped(const std::optional<DriverCounts>& counts, std::size_t at) {
        LineWatch& line = open_.line;
        if (!counts) return;
        std::uint32_t dropped = counts->dropped - line.lastSeen.dropped;
        if (dropped > 0) {
            LineMark mark;
            mark.kind = LineEventKind::Dropped;
            mark.at = at;
            mark.count = dropped;
            line.marks.insert(mark);
        }
        line.lastSeen = line.latest = *counts;
    }

    // A change of the modem lines since they were last seen is marked where
    // the reads have got to; gives the events of the lines that changed.
    std::uint32_t lookAtModemLines() {
        LineWatch& line = open_.line;
        if (!line.lines) return 0;
        std::optional<std::uint32_t> now = readModemLines(open_.fd);
        if (!now || *now == *line.lines) return 0;
        std::uint32_t events = modemLineEvents(*line.lines, *now);
        line.lines = now;
        LineMark mark;
        mark.kind = LineEventKind::ModemLines;
        mark.at = line.marks.returnedSoFar();
        mark.lines = *now;
        line.marks.insert(mark);
        return events;
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
    bool watchLine_ = false;
};

}  // namespace

std::unique_ptr<SerialDevice> makePlatformDevice() { return std::make_unique<PosixSerialDevice>(); }

}  // namespace serialtap

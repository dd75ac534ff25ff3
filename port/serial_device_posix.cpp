#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "port/custom_baud.h"
#include "port/posix_line_settings.h"
#include "port/posix_port_name.h"
#include "port/serial_device.h"

namespace serialtap {

namespace {

class PosixSerialDevice final : public SerialDevice {
public:
    ~PosixSerialDevice() override {
        if (fd_ >= 0) ::close(fd_);
    }

    bool open(const std::string& portName) override {
        int fd =
            ::open(posixDevicePath(portName).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return failWith(errno);
        // flock holds against root too, which TIOCEXCL does not.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int code = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return failWith(code);
        }
        ioctl(fd, TIOCEXCL);  // not a terminal: found out by the queue setup
        fd_ = fd;
        return true;
    }

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
        count = takeBuffered(buffer, size);
        return ReadStart::Completed;
    }

    std::uint32_t takeBuffered(std::uint8_t* buffer, std::uint32_t size) override {
        std::size_t take = queued() < size ? queued() : size;
        std::memcpy(buffer, queue_ + queueStart_, take);
        queueStart_ += take;
        return static_cast<std::uint32_t>(take);
    }

    // Reads never go on in the background here.
    CompletionWait waitRead(std::uint32_t) override { return CompletionWait::Signalled; }
    bool readResult(std::uint32_t& count) override {
        count = 0;
        return true;
    }
    std::uint32_t cancelRead() override { return 0; }

    bool closePort() override {
        int fd = fd_;
        fd_ = -1;
        polls_.clear();
        return fd < 0 || ::close(fd) == 0 ? true : failWith(errno);
    }

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

    int fd_ = -1;
    static constexpr int kReadsBetweenPolls = 16;

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
    std::uint8_t queue_[4096] = {};
    std::size_t queueStart_ = 0;
    std::size_t queueEnd_ = 0;
    bool lastReadLarge_ = false;
    int readsSincePoll_ = 0;
    termios terminal_{};
    Timeouts timeouts_{};
    std::uint32_t eventMask_ = 0;
    std::vector<pollfd> polls_;
    bool wakeReady_ = false;
};

}  // namespace

std::unique_ptr<SerialDevice> makePlatformDevice() { return std::make_unique<PosixSerialDevice>(); }

}  // namespace serialtap

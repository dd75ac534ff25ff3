#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "app/terminal.h"

namespace serialtap {

namespace {

// Standard output or error, written without waiting. A terminal gets a
// description of its own that does not wait: the shell shares the one it
// handed over and must not find it changed. A pipe, socket or FIFO is
// switched to writes that do not wait until the process ends. All of it at
// the first use, so a capture that shows nothing makes no call for it.
class PosixShownStream final : public ShownStream {
public:
    explicit PosixShownStream(int fd) : fd_(fd), writeFd_(fd) {}

    ~PosixShownStream() override {
        if (writeFd_ != fd_) ::close(writeFd_);
        if (restoreFlags_ >= 0) fcntl(fd_, F_SETFL, restoreFlags_);
    }

    PosixShownStream(const PosixShownStream&) = delete;
    PosixShownStream& operator=(const PosixShownStream&) = delete;

    ShownWrite write(const char* data, std::size_t size, ShownKind) override {
        setUp();
        ShownWrite result;
        if (!terminal_) {
            writeAll(data, size, result);
            return result;
        }
        if (heldBack()) {
            result.withheld = true;
            return result;
        }
        // With SIGTTOU blocked the terminal lets the write through even if
        // the job went to the background since the look above.
        sigset_t ttou;
        sigset_t previous;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        pthread_sigmask(SIG_BLOCK, &ttou, &previous);
        // A terminal without a description of its own is switched for the write alone.
        int flags = writeFd_ == fd_ ? fcntl(fd_, F_GETFL) : -1;
        if (flags >= 0) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
        writeAll(data, size, result);
        if (flags >= 0) fcntl(fd_, F_SETFL, flags);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return result;
    }

    bool terminal() const override {
        setUp();
        return terminal_;
    }

private:
    void setUp() const {
        if (setUp_) return;
        setUp_ = true;
        struct stat status {};
        if (fstat(fd_, &status) != 0) return;
        terminal_ = isatty(fd_) != 0;
        if (terminal_) {
            char name[256] = {};
            int own = ttyname_r(fd_, name, sizeof name) == 0
                          ? ::open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)
                          : -1;
            if (own >= 0) writeFd_ = own;
        } else if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
            int flags = fcntl(fd_, F_GETFL);
            if (flags >= 0 && (flags & O_NONBLOCK) == 0 &&
                fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0) {
                restoreFlags_ = flags;
            }
        }
    }

    // A job in the background of a terminal that holds back such output.
    bool heldBack() const {
        pid_t foreground = tcgetpgrp(fd_);
        if (foreground < 0 || foreground == getpgrp()) return false;
        termios modes{};
        return tcgetattr(fd_, &modes) == 0 && (modes.c_lflag & TOSTOP) != 0;
    }

    void writeAll(const char* data, std::size_t size, ShownWrite& result) const {
        while (result.written < size) {
            ssize_t done = ::write(writeFd_, data + result.written, size - result.written);
            if (done > 0) {
                result.written += static_cast<std::size_t>(done);
            } else if (done < 0 && errno == EINTR) {
                continue;
            } else {
                result.failed = done < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
                return;
            }
        }
    }

    int fd_;
    mutable int writeFd_;
    mutable bool setUp_ = false;
    mutable bool terminal_ = false;
    mutable int restoreFlags_ = -1;
};

class StdioStream final : public ShownStream {
public:
    explicit StdioStream(std::FILE* stream) : stream_(stream) {}
    ShownWrite write(const char* data, std::size_t size, ShownKind) override {
        ShownWrite result;
        result.written = std::fwrite(data, 1, size, stream_);
        result.failed = std::fflush(stream_) != 0 || result.written < size;
        return result;
    }
    bool terminal() const override { return false; }

private:
    std::FILE* stream_;
};

class StandardErrorDisplay final : public StatusDisplay {
public:
    // A job in the background leaves the terminal's line to the foreground;
    // a terminal that is not the controlling one has no foreground to ask.
    bool drawable() override {
        pid_t foreground = tcgetpgrp(STDERR_FILENO);
        return foreground < 0 || foreground == getpgrp();
    }

    int columns() override {
        winsize size{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
        return size.ws_col;
    }

    bool write(const std::string& text) override {
        return standardStream(StandardStream::Error)
                   .write(text.data(), text.size(), ShownKind::Text)
                   .written == text.size();
    }
};

}  // namespace

ShownStream& standardStream(StandardStream which) {
    static PosixShownStream output(STDOUT_FILENO);
    static PosixShownStream error(STDERR_FILENO);
    return which == StandardStream::Output ? output : error;
}

std::unique_ptr<ShownStream> stdioStream(std::FILE* stream) {
    return std::make_unique<StdioStream>(stream);
}

std::unique_ptr<StatusDisplay> standardErrorDisplay() {
    return std::make_unique<StandardErrorDisplay>();
}

bool standardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

}  // namespace serialtap

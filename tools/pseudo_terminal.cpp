#include "tools/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace serialtap::device {

namespace {

bool makeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

PseudoTerminal::~PseudoTerminal() {
    if (heldPort_ >= 0) {
        ::close(heldPort_);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
}

bool PseudoTerminal::fail(const char* step) {
    errorText_ = std::string(step) + ": " + std::strerror(errno);
    return false;
}

bool PseudoTerminal::open(bool holdPort) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        return fail("posix_openpt");
    }
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        return fail("unlocking the pseudo-terminal");
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
        return fail("ptsname");
    }
    portPath_ = name;
    // Non-blocking so that a reader that stops reading cannot stall the
    // device past an interrupt; poll decides when to write.
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(master_, F_SETFD, FD_CLOEXEC) != 0) {
        return fail("fcntl");
    }
    const int port = ::open(portPath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port < 0) {
        return fail(portPath_.c_str());
    }
    if (!makeRaw(port)) {
        const int saved = errno;
        ::close(port);
        errno = saved;
        return fail("making the port raw");
    }
    // The port keeps its settings after this close, as long as the master
    // stays open; the close makes the master report a hang-up until the
    // next open.
    if (holdPort) {
        heldPort_ = port;
    } else {
        ::close(port);
    }
    return true;
}

bool PseudoTerminal::portOpenElsewhere() const {
    pollfd entry{master_, POLLIN, 0};
    if (poll(&entry, 1, 0) < 0) {
        return false;
    }
    return (entry.revents & POLLHUP) == 0;
}

int PseudoTerminal::bytesQueuedAtPort() const {
    if (heldPort_ < 0) {
        return -1;
    }
    int queued = 0;
    if (ioctl(heldPort_, FIONREAD, &queued) != 0) {
        return -1;
    }
    return queued;
}

}  // namespace serialtap::device

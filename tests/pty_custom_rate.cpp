// Kept apart from <termios.h>, whose struct termios clashes with the kernel's.
#include "tests/pty_custom_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace serialtap::test {

std::optional<CustomRate> readCustomRate(int fd) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return std::nullopt;
    bool custom = (settings.c_cflag & CBAUD) == BOTHER;
    return CustomRate{settings.c_ispeed, settings.c_ospeed, custom};
}

bool setCustomRate(int fd, std::uint32_t rate) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = rate;
    settings.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace serialtap::test

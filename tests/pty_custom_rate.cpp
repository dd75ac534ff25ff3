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

}  // namespace serialtap::test

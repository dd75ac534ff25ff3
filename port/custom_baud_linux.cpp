// Kept apart from <termios.h>, whose struct termios clashes with the kernel's.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "port/custom_baud.h"

namespace serialtap {

bool setCustomBaud(int fd, std::uint32_t rate) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = rate;
    settings.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace serialtap

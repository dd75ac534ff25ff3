// Kept apart from <termios.h>, whose struct termios clashes with the kernel's.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstring>

#include "port/custom_baud.h"

namespace serialtap {

static_assert(sizeof(termios2) <= sizeof(DriverLineState::bytes), "line state too small");

bool setCustomBaud(int fd, std::uint32_t rate) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = rate;
    settings.c_ospeed = rate;
    return ioctl(fd, TCSETS2, &settings) == 0;
}

bool readRates(int fd, std::uint32_t& input, std::uint32_t& output) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    input = settings.c_ispeed;
    output = settings.c_ospeed;
    return true;
}

bool readDriverLineState(int fd, DriverLineState& state) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    std::memcpy(state.bytes, &settings, sizeof settings);
    return true;
}

bool writeDriverLineState(int fd, const DriverLineState& state) {
    struct termios2 settings {};
    std::memcpy(&settings, state.bytes, sizeof settings);
    return ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace serialtap

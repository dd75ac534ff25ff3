#include <termios.h>

#include <cerrno>
#include <cstring>

#include "port/custom_baud.h"

namespace serialtap {

static_assert(sizeof(termios) <= sizeof(DriverLineState::bytes), "line state too small");

bool setCustomBaud(int, std::uint32_t) {
    errno = EINVAL;
    return false;
}

// Where there is no Linux termios2, speed_t is the rate itself.
bool readRates(int fd, std::uint32_t& input, std::uint32_t& output) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    input = static_cast<std::uint32_t>(cfgetispeed(&settings));
    output = static_cast<std::uint32_t>(cfgetospeed(&settings));
    return true;
}

bool readDriverLineState(int fd, DriverLineState& state) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    std::memcpy(state.bytes, &settings, sizeof settings);
    return true;
}

bool writeDriverLineState(int fd, const DriverLineState& state) {
    termios settings{};
    std::memcpy(&settings, state.bytes, sizeof settings);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace serialtap

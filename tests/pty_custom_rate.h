#pragma once

// Free of <termios.h>, so that the kernel's termios2 can be used beside it.

#include <cstdint>
#include <optional>

namespace serialtap::test {

// The rates a port runs at, read through the interface that carries rates
// without a B constant.
struct CustomRate {
    std::uint32_t input;
    std::uint32_t output;
    bool customFlag;  // the rate is given as a number, not as a B constant
};

// None when the interface fails.
std::optional<CustomRate> readCustomRate(int fd);
// Sets both rates as a number, as a program using custom rates leaves them.
bool setCustomRate(int fd, std::uint32_t rate);

}  // namespace serialtap::test

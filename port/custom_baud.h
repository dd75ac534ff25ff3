#pragma once

#include <cstdint>

namespace serialtap {

// Sets a rate that has no B constant; false with errno set when the platform
// or the driver cannot.
bool setCustomBaud(int fd, std::uint32_t rate);

}  // namespace serialtap

#pragma once

#include <cstdint>

namespace serialtap {

// Sets a rate that has no B constant; false with errno set when the platform
// or the driver cannot.
bool setCustomBaud(int fd, std::uint32_t rate);

// The rates the driver reports, in bits per second, custom ones included.
bool readRates(int fd, std::uint32_t& input, std::uint32_t& output);

// The port's whole line state as the driver holds it, custom rates
// included, kept to be put back when the capture closes the port.
struct DriverLineState {
    alignas(8) unsigned char bytes[128];
};
bool readDriverLineState(int fd, DriverLineState& state);
bool writeDriverLineState(int fd, const DriverLineState& state);

}  // namespace serialtap

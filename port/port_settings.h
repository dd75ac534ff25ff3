#pragma once

#include <cstdint>
#include <string>

namespace serialtap {

// Parity codes and stop-bit codes use the numbering of the Windows line
// settings, so the same numbers mean the same thing on every platform.
constexpr std::uint8_t kNoParity = 0;
constexpr std::uint8_t kOddParity = 1;
constexpr std::uint8_t kEvenParity = 2;
constexpr std::uint8_t kMarkParity = 3;
constexpr std::uint8_t kSpaceParity = 4;

constexpr std::uint8_t kOneStopBit = 0;
constexpr std::uint8_t kOne5StopBits = 1;
constexpr std::uint8_t kTwoStopBits = 2;

struct PortSettings {
    std::string portName = "COM1";
    std::uint32_t baudRate = 9600;
    std::uint8_t byteSize = 8;
    std::uint8_t parity = kNoParity;
    std::uint8_t stopBits = kOneStopBit;
    // Mark what the line does besides sending bytes (see SerialDevice::watchLine).
    bool watchLine = false;
};

}  // namespace serialtap

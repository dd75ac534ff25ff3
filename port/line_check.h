#pragma once

#include <cstdint>

#include "port/serial_device.h"

namespace serialtap {

// A rate the port runs at may differ this much from the one asked, in
// percent, as UART clock dividers make it; more garbles what is received.
constexpr std::uint32_t kRateTolerancePercent = 3;

bool rateWithinTolerance(std::uint32_t asked, std::uint32_t reported);

// Whether a driver took the line settings asked, judged by what it reports
// back: the same data bits, parity and stop bits, and input and output
// rates (reported.baudRate is the output rate) close to the one asked.
bool lineSettingsTaken(const LineSettings& asked, const LineSettings& reported,
                       std::uint32_t reportedInputRate);

}  // namespace serialtap

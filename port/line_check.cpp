#include "port/line_check.h"

namespace serialtap {

bool rateWithinTolerance(std::uint32_t asked, std::uint32_t reported) {
    std::uint64_t difference = asked > reported ? asked - reported : reported - asked;
    return difference * 100 <= std::uint64_t{asked} * kRateTolerancePercent;
}

bool lineSettingsTaken(const LineSettings& asked, const LineSettings& reported,
                       std::uint32_t reportedInputRate) {
    return asked.byteSize == reported.byteSize && asked.parity == reported.parity &&
           asked.stopBits == reported.stopBits &&
           rateWithinTolerance(asked.baudRate, reported.baudRate) &&
           rateWithinTolerance(asked.baudRate, reportedInputRate);
}

}  // namespace serialtap

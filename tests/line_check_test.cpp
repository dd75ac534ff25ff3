#include "port/line_check.h"

#include <gtest/gtest.h>

#include "port/port_settings.h"

namespace serialtap {
namespace {

TEST(LineCheck, RatesWithinThreePercentOfTheOneAskedAreTaken) {
    EXPECT_TRUE(rateWithinTolerance(115200, 115200));
    EXPECT_TRUE(rateWithinTolerance(100000, 103000));
    EXPECT_TRUE(rateWithinTolerance(100000, 97000));
    EXPECT_FALSE(rateWithinTolerance(100000, 103001));
    EXPECT_FALSE(rateWithinTolerance(100000, 96999));
    // A UART that clamps what it cannot make: an 8250 asked for 250000.
    EXPECT_FALSE(rateWithinTolerance(250000, 115200));
    EXPECT_FALSE(rateWithinTolerance(9600, 0));
    EXPECT_TRUE(rateWithinTolerance(4000000000u, 4000000000u)) << "no overflow";
}

TEST(LineCheck, EveryPartOfTheFramingMustBeTaken) {
    const LineSettings asked{9600, 7, kEvenParity, kTwoStopBits};
    EXPECT_TRUE(lineSettingsTaken(asked, asked, 9600));
    EXPECT_TRUE(lineSettingsTaken(asked, {9640, 7, kEvenParity, kTwoStopBits}, 9640));

    struct Case {
        const char* what;
        LineSettings reported;
        std::uint32_t input;
    } refused[] = {
        {"data bits fell back to 8", {9600, 8, kEvenParity, kTwoStopBits}, 9600},
        {"parity dropped", {9600, 7, kNoParity, kTwoStopBits}, 9600},
        {"even parity became odd", {9600, 7, kOddParity, kTwoStopBits}, 9600},
        {"one stop bit", {9600, 7, kEvenParity, kOneStopBit}, 9600},
        {"output rate off", {19200, 7, kEvenParity, kTwoStopBits}, 9600},
        {"input rate off", {9600, 7, kEvenParity, kTwoStopBits}, 250000},
    };
    for (const Case& c : refused)
        EXPECT_FALSE(lineSettingsTaken(asked, c.reported, c.input)) << c.what;
}

}  // namespace
}  // namespace serialtap

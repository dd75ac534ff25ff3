#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "port/serial_port.h"
#include "tests/fake_serial_device.h"
#include "tests/test_files.h"

namespace serialtap {
namespace {

using testing::FakeSerialDevice;

class PortSetup : public ::testing::Test {
protected:
    ~PortSetup() override { std::fclose(messages_); }
    std::string messages() { return testing::streamText(messages_); }

    FakeSerialDevice device_;
    std::FILE* messages_ = std::tmpfile();
};

TEST_F(PortSetup, RunsTheStepsInOrderWithTheirArguments) {
    PortSettings settings;
    settings.portName = "COM7";
    settings.baudRate = 115200;
    settings.byteSize = 7;
    settings.parity = kEvenParity;
    settings.stopBits = kTwoStopBits;
    SerialPort port(device_, messages_);
    ASSERT_TRUE(port.open(settings));

    EXPECT_EQ(device_.calls,
              (std::vector<std::string>{"open COM7", "setupQueues 1024 1024", "getLineSettings",
                                        "setLineSettings", "getTimeouts", "setTimeouts",
                                        "setEventMask", "purge", "createEvent"}));
    EXPECT_EQ(device_.lineSet.baudRate, 115200u);
    EXPECT_EQ(device_.lineSet.byteSize, 7);
    EXPECT_EQ(device_.lineSet.parity, kEvenParity);
    EXPECT_EQ(device_.lineSet.stopBits, kTwoStopBits);
    // Reads return at once with what is queued; write time-outs stay as read.
    EXPECT_EQ(device_.timeoutsSet.readInterval, 0xFFFFFFFFu);
    EXPECT_EQ(device_.timeoutsSet.readTotalMultiplier, 0xFFFFFFFFu);
    EXPECT_EQ(device_.timeoutsSet.readTotalConstant, 100u);
    EXPECT_EQ(device_.timeoutsSet.writeTotalMultiplier, 4u);
    EXPECT_EQ(device_.timeoutsSet.writeTotalConstant, 5u);
    EXPECT_EQ(device_.maskSet, 0x0001u);
    EXPECT_EQ(device_.purgeFlags, 0x000Fu);
    EXPECT_EQ(messages(), "");
}

TEST_F(PortSetup, BaudRateZeroIsStillHandedToThePort) {
    PortSettings settings;
    settings.baudRate = 0;
    device_.failCall("setLineSettings", 87);
    SerialPort port(device_, messages_);
    EXPECT_FALSE(port.open(settings));
    EXPECT_EQ(device_.lineSet.baudRate, 0u);
    EXPECT_EQ(messages(), "error setting comm: 87\n");
}

struct FailingStep {
    const char* call;
    const char* message;
    bool closesPort;
};

void PrintTo(const FailingStep& step, std::ostream* out) { *out << step.call; }

class FailingSetupStep : public PortSetup, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(FailingSetupStep, PrintsItsMessageClosesWhereDueAndStops) {
    const FailingStep& step = GetParam();
    device_.failCall(step.call, 1234);
    // A successful close leaves another code behind; the message must keep
    // the failing call's code.
    device_.errorAfterSuccess = 6;
    SerialPort port(device_, messages_);
    EXPECT_FALSE(port.open(PortSettings{}));

    char expected[128];
    std::snprintf(expected, sizeof expected, step.message, 1234);
    EXPECT_EQ(messages(), expected);

    std::size_t failed = 0;
    while (device_.calls[failed].rfind(step.call, 0) != 0) ++failed;
    std::vector<std::string> after(device_.calls.begin() + static_cast<std::ptrdiff_t>(failed) + 1,
                                   device_.calls.end());
    EXPECT_EQ(after,
              step.closesPort ? std::vector<std::string>{"closePort"} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FailingSetupStep,
    ::testing::Values(FailingStep{"open", "could not open serial port: %d\n", false},
                      FailingStep{"setupQueues", "error setting up comm: %d\n", true},
                      FailingStep{"getLineSettings", "error getting comm: %d\n", true},
                      FailingStep{"setLineSettings", "error setting comm: %d\n", true},
                      FailingStep{"getTimeouts", "error getting comm timeouts: %d\n", true},
                      FailingStep{"setTimeouts", "error setting comm timeouts: %d\n", true},
                      FailingStep{"setEventMask", "could not set a Mask for serial port: %d\n",
                                  true},
                      FailingStep{"purge", "error purge comm: %d\n", true},
                      FailingStep{"createEvent", "could not set event: %d\n", false}),
    [](const ::testing::TestParamInfo<FailingStep>& info) { return std::string(info.param.call); });

}  // namespace
}  // namespace serialtap

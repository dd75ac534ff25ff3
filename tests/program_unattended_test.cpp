// Captures left to run alone: a port that is unplugged and plugged back,
// captures that end by themselves with a status that tells why, prompt
// write-out and appending to an earlier capture.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using serialtap::test::operator<<;
using namespace std::chrono_literals;

const std::string kLost = "Error for Waiting Comm Event: 5\r\n";
const std::string kReopened = "serial port reopened\r\n";

// Points a link such as /dev/serial/by-id/... at a port in one step, as
// udev does when an adapter comes back.
void pointLink(const std::string& link, const std::string& target) {
    std::string fresh = link + ".new";
    std::filesystem::remove(fresh);
    std::filesystem::create_symlink(target, fresh);
    std::filesystem::rename(fresh, link);
}

// The scheduler's own account of the time the program ran, in seconds:
// finer than the clock ticks of the CPU watch.
double runSeconds(const Program& program) {
    std::ifstream in("/proc/" + std::to_string(program.pid()) + "/schedstat");
    unsigned long long nanoseconds = 0;
    in >> nanoseconds;
    return static_cast<double>(nanoseconds) / 1e9;
}

testing::AssertionResult sendTo(Program& program, const DevicePty& device,
                                const std::string& bytes) {
    testing::AssertionResult sent = device.send(bytes);
    if (!sent) return sent;
    return program.waitBytesRead(bytes.size());
}

class ReconnectTest : public PtyTest {
protected:
    ReconnectTest() { pointLink(link_, device_.portPath()); }
    // The adapter unplugged and another plugged in under the same name;
    // true once the capture reads the new one.
    testing::AssertionResult replug(Program& program, const DevicePty& replugged) {
        pointLink(link_, replugged.portPath());
        device_.hangUp();
        testing::AssertionResult reopened = program.waitOutputContains(kReopened);
        return reopened ? program.waitCapturing() : reopened;
    }
    std::string link_ = dir_.file("usb-FTDI_FT232R_USB_UART_A10K-if00-port0");
};

TEST_F(ReconnectTest, ResumesOnThePortThatCameBackIntoTheSameFile) {
    Program program({capturePath(), "-c", link_});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "before the unplug\n"));

    DevicePty replugged;
    // Sent before the capture has the port again: purged by its setup.
    ASSERT_TRUE(replugged.send("while away\n"));
    pointLink(link_, replugged.portPath());
    auto unplugged = Clock::now();
    device_.hangUp();
    ASSERT_TRUE(program.waitOutputContains(kReopened));
    EXPECT_LT(Clock::now() - unplugged, 2s) << "a try once a second";

    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(sendTo(program, replugged, "after the replug\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("before the unplug\r\nafter the replug\r\n", captured());
    EXPECT_EQ(kLost + kReopened, program.output()) << "the loss is reported once";
}

// With -u 1 the file itself says where the port was lost and for how long.
TEST_F(ReconnectTest, LossAndReturnAreMarkedInTheFileWithLineEvents) {
    Program program({capturePath(), "-c", link_, "-u", "1"});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "before\n"));
    DevicePty replugged;
    ASSERT_TRUE(replug(program, replugged));
    ASSERT_TRUE(sendTo(program, replugged, "after\n"));
    EXPECT_EQ(0, program.stopWithQ());
    const std::regex marked(
        "before\r\n--- serialtap: port lost\n--- serialtap: port back after ([0-9.]+) "
        "s\nafter\r\n");
    std::smatch found;
    const std::string file = captured();
    ASSERT_TRUE(std::regex_search(file, found, marked)) << file;
    EXPECT_LT(std::stod(found[1]), 2.5);
}

TEST_F(ReconnectTest, WaitsIdleReportsOtherOpenFailuresOnceAndStopsOnQ) {
    Program program({capturePath(), "-c", link_});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "before the unplug\n"));
    // Unplugged: the link goes with the port (left dangling, it would point
    // at whatever pseudo-terminal is made next under the old number).
    std::filesystem::remove(link_);
    device_.hangUp();
    ASSERT_TRUE(program.waitOutputContains(kLost));

    // A try each second, silent and costless.
    double before = runSeconds(program);
    program.watchOutputFor(10s);
    EXPECT_LT(runSeconds(program) - before, 0.01) << "seconds of CPU in 10 s away";
    EXPECT_EQ(kLost, program.output());

    // A name that opens but is no serial port is reported once, not each try.
    std::string notAPort = dir_.file("not-a-port");
    writeFile(notAPort, "");
    pointLink(link_, notAPort);
    program.watchOutputFor(3500ms);
    EXPECT_EQ(kLost + "error setting up comm: 25\r\n", program.output());

    ASSERT_TRUE(program.running());
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("before the unplug\r\n", captured());
}

// What the device sent while away is lost: a stop text begun before the
// loss is not completed by what comes after it.
TEST_F(ReconnectTest, AStopTextSplitByTheLossDoesNotMatch) {
    Program program({capturePath(), "-c", link_, "-x", "panic"});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "pan"));
    DevicePty replugged;
    ASSERT_TRUE(replug(program, replugged));
    ASSERT_TRUE(sendTo(program, replugged, "ic-free line\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("panic-free line\r\n", captured());
}

// The number of a terminal that hung up is soon given to another program's
// terminal; a link left as it was names that one, which must not be taken
// (made raw, what its user types captured) until the link is pointed anew.
TEST_F(ReconnectTest, ALinkLeftAtAHungUpTerminalIsNotFollowedUntilPointedAnew) {
    Program program({capturePath(), "-c", link_});
    ASSERT_TRUE(program.waitCapturing());
    const std::string number = device_.portPath();
    device_.hangUp();
    ASSERT_TRUE(program.waitOutputContains(kLost));
    // The number is free once the program has closed the port.
    std::unique_ptr<DevicePty> other;
    for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;
         std::this_thread::sleep_for(10ms)) {
        other = std::make_unique<DevicePty>();
        if (other->portPath() == number) break;
    }
    if (other == nullptr || other->portPath() != number)
        GTEST_SKIP() << number << " was not given again";
    program.watchOutputFor(2500ms);
    EXPECT_EQ(kLost, program.output());
    EXPECT_NE(0u, other->settings().c_lflag & ICANON) << "another program's terminal made raw";

    pointLink(link_, other->portPath());
    ASSERT_TRUE(program.waitOutputContains(kReopened));
    EXPECT_EQ(0, program.stopWithQ());
}

// -r 0: the port is reported failed for as long as the capture runs, and
// a port that comes back under the name is left alone.
TEST_F(ReconnectTest, IsOffWithR0) {
    Program program({capturePath(), "-c", link_, "-r", "0"});
    ASSERT_TRUE(program.waitCapturing());
    DevicePty replugged;
    pointLink(link_, replugged.portPath());
    device_.hangUp();
    program.watchOutputFor(2500ms);
    EXPECT_GE(countOf(program.output(), kLost), 2u);
    EXPECT_EQ(0u, countOf(program.output(), kReopened));
    EXPECT_EQ(0, program.stopWithQ());
}

// Of the harness: a program that read its bytes and ended before the test
// asked is judged by what it had read, which /proc no longer holds.
TEST_F(PtyTest, BytesReadAreKnownAfterTheProgramEnded) {
    Program program(commandLine({"-e", "end"}));
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(device_.send("the end"));
    for (auto end = Clock::now() + kPatience; program.running() && Clock::now() < end;) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_TRUE(program.waitBytesRead(7));
    EXPECT_EQ(0, program.waitExit());
}

struct StopCase {
    const char* name;
    std::vector<std::string> options;
    // Sent one after the other, each read in a pass of its own.
    std::vector<std::string> parts;
    int status;
};

class StopConditionTest : public PtyTestWithParam<StopCase> {};

TEST_P(StopConditionTest, EndsWithItsStatusKeepingEveryByte) {
    const StopCase& stop = GetParam();
    Program program(commandLine(stop.options));
    ASSERT_TRUE(program.waitCapturing());
    std::string sent;
    for (const std::string& part : stop.parts) {
        // Still capturing: nothing before the last part may end it.
        ASSERT_TRUE(program.waitCapturing()) << "before \"" << part << "\"";
        ASSERT_TRUE(deliver(program, part));
        sent += part;
    }
    EXPECT_EQ(stop.status, program.waitExit());
    EXPECT_EQ(withLineEndsExpanded(sent), captured());
    EXPECT_EQ("", program.output());
    EXPECT_EQ(program.consoleAtStart().c_lflag, program.consoleNow().c_lflag);
}

INSTANTIATE_TEST_SUITE_P(
    Options, StopConditionTest,
    testing::Values(
        StopCase{"TextSplitAcrossPasses", {"-e", "login:"}, {"Debian 12 box log", "in: "}, 0},
        // The first part fills the 4096-byte buffer; the rest comes after its write-out.
        StopCase{"TextSplitAcrossWriteOut",
                 {"-e", "login:"},
                 {std::string(4093, '.') + "log", "in: "},
                 0},
        StopCase{"FailTextWithEscapes",
                 {"-t", "120", "-e", "login:", "-x", "Kernel\\x20panic"},
                 {"[    1.5] Kernel pa", "nic - not syncing\n"},
                 2},
        StopCase{"TimeOutWhileTextAwaited", {"-t", "2", "-e", "login:"}, {"no prompt\n"}, 3},
        StopCase{"TimeOut", {"-t", "2"}, {"some data\n"}, 0},
        StopCase{"Silence", {"-i", "2"}, {"some data\n"}, 0}),
    [](const auto& info) { return info.param.name; });

using SilenceTest = PtyTest;

TEST_F(SilenceTest, StartsAgainWithEachByte) {
    Program program(commandLine({"-i", "2"}));
    ASSERT_TRUE(program.waitCapturing());
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(deliver(program, "tick\n"));
        std::this_thread::sleep_for(1200ms);
        ASSERT_TRUE(program.running()) << "ended 1.2 s after a byte";
    }
    EXPECT_EQ(0, program.waitExit());
    EXPECT_EQ("tick\r\ntick\r\n", captured());
}

using WriteOutTest = PtyTest;

// A slow sensor's lines reach the file while the capture runs.
TEST_F(WriteOutTest, HeldBytesReachTheFileWithinTheTime) {
    Program program(commandLine({"-f", "200"}));
    ASSERT_TRUE(program.waitCapturing());
    for (const std::string line : {"21.5 C\n", "21.6 C\n"}) {
        std::string before = captured();
        ASSERT_TRUE(deliver(program, line));
        auto deadline = Clock::now() + kPatience;
        while (captured() == before && Clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(before + withLineEndsExpanded(line), captured());
    }
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("21.5 C\r\n21.6 C\r\n", captured());
}

using AppendTest = PtyTest;

TEST_F(AppendTest, KeepsTheEarlierCapture) {
    writeFile(capturePath(), "earlier run\r\n");
    Program program(commandLine({"-a", "1"}));
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "this run\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("earlier run\r\nthis run\r\n", captured());
}

}  // namespace
}  // namespace serialtap::test

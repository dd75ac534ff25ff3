// The port as the capture finds and leaves it: ports that must not be
// captured, the settings put back, exclusive mode cleared, the input rate
// made whole, and the bytes the terminal layer holds at the stop.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "tests/pty_custom_rate.h"
#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using serialtap::test::operator<<;

// Nothing was sent: the master has nothing to read (a hang-up is no data).
bool nothingSent(int master) {
    char byte = 0;
    return read(master, &byte, 1) <= 0;
}

struct SameDeviceCase {
    const char* name;
    bool byLink;  // through a link, as /dev/serial/by-id names ports
};

class PortIsCaptureFileTest : public PtyTestWithParam<SameDeviceCase> {};

// The capture would go out to the device, which must never be sent anything.
TEST_P(PortIsCaptureFileTest, IsRefusedBeforeAnythingIsWritten) {
    std::string capture = device_.portPath();
    if (GetParam().byLink) {
        capture = dir_.file("by-id");
        ASSERT_EQ(0, symlink(device_.portPath().c_str(), capture.c_str()));
    }
    termios before = device_.settings();
    Finished run = runToExit({capture, "-c", device_.portPath(), "-b", "300"});
    EXPECT_EQ("could not open serial port: it is the capture file\n", run.output);
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(nothingSent(device_.master())) << "something was sent to the device";
    termios after = device_.settings();
    EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
}

INSTANTIATE_TEST_SUITE_P(Names, PortIsCaptureFileTest,
                         testing::Values(SameDeviceCase{"SamePath", false},
                                         SameDeviceCase{"Link", true}),
                         [](const auto& info) { return info.param.name; });

class OwnTerminalTest : public PtyTestWithParam<const char*> {};

// Configured as a port, the terminal would lose its signal keys: q and
// Ctrl+C would become data and nothing could end the capture.
TEST_P(OwnTerminalTest, IsRefusedAndLeftAsItWas) {
    Program program({capturePath(), "-c", GetParam()});
    EXPECT_EQ(1, program.waitExit());
    EXPECT_EQ("could not open serial port: it is the terminal serialtap runs in\r\n",
              program.output());
    EXPECT_EQ(program.consoleAtStart().c_lflag, program.consoleNow().c_lflag);
}

// /proc/self/fd/0 names the terminal's own device, as its tty name does.
INSTANTIATE_TEST_SUITE_P(Names, OwnTerminalTest, testing::Values("/dev/tty", "/proc/self/fd/0"));

using PortRestoreTest = PtyTest;

TEST_F(PortRestoreTest, SettingsTheCaptureFoundAreBackAfterIt) {
    termios console = device_.settings();
    cfsetspeed(&console, B1200);
    console.c_lflag |= ICANON | ECHO | ISIG;
    console.c_iflag |= ICRNL | IXON;
    console.c_cflag |= CSTOPB | PARODD;
    device_.changeSettings(console);
    termios before = device_.settings();

    Program program(commandLine({"-b", "115200"}));
    ASSERT_TRUE(program.waitCapturing());
    termios during = device_.settings();
    EXPECT_EQ(0, program.stopWithQ());
    ASSERT_EQ(B115200, cfgetospeed(&during));

    termios after = device_.settings();
    EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
    EXPECT_EQ(cfgetispeed(&before), cfgetispeed(&after));
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_cc[VMIN], after.c_cc[VMIN]);
}

// Opens the port as a user without privileges (as the test itself when it
// has none); gives 0 or the open's errno.
int openAsUnprivilegedUser(const std::string& path) {
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(255);
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

using ExclusiveModeTest = PtyTest;

TEST_F(ExclusiveModeTest, IsClearedSoTheNextProgramCanOpenThePort) {
    ASSERT_EQ(0, chmod(device_.portPath().c_str(), 0666));
    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    EXPECT_EQ(EBUSY, openAsUnprivilegedUser(device_.portPath())) << "held while capturing";
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ(0, openAsUnprivilegedUser(device_.portPath()));
}

using StaleInputRateTest = PtyTest;

// Left at a custom rate by another program, the port must receive at the
// standard rate asked, not at the custom input rate left behind.
TEST_F(StaleInputRateTest, StandardRateSetsBothDirections) {
    ASSERT_TRUE(setCustomRate(device_.master(), 250000));
    Program program(commandLine({"-b", "9600"}));
    ASSERT_TRUE(program.waitCapturing());
    std::optional<CustomRate> rates = readCustomRate(device_.master());
    EXPECT_EQ(0, program.stopWithQ());
    ASSERT_TRUE(rates.has_value());
    EXPECT_EQ(9600u, rates->output);
    EXPECT_EQ(9600u, rates->input);
}

char processState(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat(std::istreambuf_iterator<char>(in), {});
    std::size_t at = stat.rfind(')');
    return at == std::string::npos || at + 2 >= stat.size() ? '?' : stat[at + 2];
}

using HeldBytesTest = PtyTest;

// Sends the bytes while the program cannot run, then stops it: they wait
// in the terminal layer, more than one read takes.
void sendWhileStoppedThenStop(Program& program, const DevicePty& device, const std::string& bytes) {
    kill(program.pid(), SIGSTOP);
    auto deadline = Clock::now() + kPatience;
    while (processState(program.pid()) != 'T' && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(device.send(bytes));
    kill(program.pid(), SIGTERM);
    kill(program.pid(), SIGCONT);
}

// The stop must not throw them away.
TEST_F(HeldBytesTest, BytesTheTerminalHoldsAtTheStopReachTheFile) {
    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    const std::string received = randomBytes(10000);
    sendWhileStoppedThenStop(program, device_, received);
    EXPECT_EQ(0, program.waitExit());
    std::string stored = captured();
    EXPECT_EQ(withLineEndsExpanded(received).size(), stored.size());
    EXPECT_TRUE(stored == withLineEndsExpanded(received));
}

// Taking what the lost port held must leave the reopened one all its own
// shutdown, however the port came back.
TEST_F(HeldBytesTest, AreKeptAfterThePortWasLostAndReopened) {
    std::string link = dir_.file("by-id");
    ASSERT_EQ(0, symlink(device_.portPath().c_str(), link.c_str()));
    Program program({capturePath(), "-c", link});
    ASSERT_TRUE(program.waitCapturing());
    DevicePty replugged;
    std::string fresh = link + ".new";
    ASSERT_EQ(0, symlink(replugged.portPath().c_str(), fresh.c_str()));
    ASSERT_EQ(0, rename(fresh.c_str(), link.c_str()));
    device_.hangUp();
    ASSERT_TRUE(program.waitOutputContains("serial port reopened"));
    ASSERT_TRUE(program.waitCapturing());

    const std::string received = randomBytes(12000);
    sendWhileStoppedThenStop(program, replugged, received);
    EXPECT_EQ(0, program.waitExit());
    std::string stored = captured();
    EXPECT_EQ(withLineEndsExpanded(received).size(), stored.size());
    EXPECT_TRUE(stored == withLineEndsExpanded(received));
}

}  // namespace
}  // namespace serialtap::test

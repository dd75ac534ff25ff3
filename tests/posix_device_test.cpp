// Opening and configuring a real port: the program runs on the slave of a
// pseudo-terminal and the test reads back, through the master, what it set.

#include <sys/ioctl.h>
#include <termios.h>

#include <memory>
#include <string>
#include <vector>

#include "port/posix_line_settings.h"
#include "port/posix_port_name.h"
#include "port/serial_device.h"
#include "tests/fake_line_driver.h"
#include "tests/pty_custom_rate.h"
#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using serialtap::test::operator<<;

// --- Ports that cannot be opened or set up --------------------------------

struct MissingPortCase {
    const char* name;
    std::string port;
    bool captureFileExisted;
};

class MissingPortTest : public PtyTestWithParam<MissingPortCase> {};

TEST_P(MissingPortTest, FailsToOpenAndLeavesAnEmptyCaptureFile) {
    if (GetParam().captureFileExisted) writeFile(capturePath(), "an earlier capture\r\n");

    Finished run = runToExit({capturePath(), "-c", GetParam().port});

    EXPECT_EQ("could not open serial port: 2\n", run.output);
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(fileExists(capturePath()));
    EXPECT_EQ("", captured());
}

INSTANTIATE_TEST_SUITE_P(
    Ports, MissingPortTest,
    testing::Values(MissingPortCase{"Path", "/dev/serialtap-no-such-port", false},
                    MissingPortCase{"PathOverEarlierCapture", "/dev/serialtap-no-such-port", true},
                    // COM200 is /dev/ttyS199, which no machine has.
                    MissingPortCase{"ComName", "COM200", true},
                    MissingPortCase{"NameUnderDev", "serialtap-no-such-port", true}),
    [](const auto& info) { return info.param.name; });

struct NotATerminalCase {
    const char* name;
    bool regularFile;
};

class NotATerminalTest : public PtyTestWithParam<NotATerminalCase> {};

TEST_P(NotATerminalTest, IsRefusedWhenSettingUp) {
    std::string port = "/dev/null";
    if (GetParam().regularFile) {
        port = dir_.file("not-a-port");
        writeFile(port, "plain data");
    }
    writeFile(capturePath(), "an earlier capture");

    Finished run = runToExit({capturePath(), "-c", port});

    EXPECT_EQ("error setting up comm: 25\n", run.output);
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(fileExists(capturePath()));
    EXPECT_EQ("", captured());
}

INSTANTIATE_TEST_SUITE_P(Paths, NotATerminalTest,
                         testing::Values(NotATerminalCase{"DevNull", false},
                                         NotATerminalCase{"RegularFile", true}),
                         [](const auto& info) { return info.param.name; });

using BusyPortTest = PtyTest;

// Run as root, this shows the lock holds where TIOCEXCL alone would not.
TEST_F(BusyPortTest, SecondCaptureIsRefusedWhileTheFirstGoesOn) {
    Program first(commandLine());
    ASSERT_TRUE(first.waitCapturing());

    std::string secondCapture = dir_.file("second.bin");
    Finished second = runToExit({secondCapture, "-c", device_.portPath(), "-b", "300"});

    EXPECT_EQ("could not open serial port: 16\n", second.output);
    EXPECT_EQ(1, second.status);
    EXPECT_TRUE(fileExists(secondCapture));
    EXPECT_EQ("", readFile(secondCapture));

    // The refused run changed nothing: the first keeps its rate and its bytes.
    termios settings = device_.settings();
    EXPECT_EQ(B9600, cfgetospeed(&settings));
    ASSERT_TRUE(first.running());
    ASSERT_TRUE(deliver(first, "still captured\n"));
    EXPECT_EQ(0, first.stopWithQ());
    EXPECT_EQ("still captured\r\n", captured());
}

// --- Line settings reaching the port ---------------------------------------

// A pseudo-terminal always keeps 8 data bits and no parity enable, so the
// parity codes show only through the odd and stick flags.
struct LineCase {
    const char* name;
    std::vector<std::string> options;
    speed_t speed;
    bool stopFlag;   // CSTOPB: two stop bits, or 1.5 with 5 data bits
    bool oddFlag;    // PARODD
    bool stickFlag;  // CMSPAR: mark or space parity
};

class LineSettingsTest : public PtyTestWithParam<LineCase> {};

TEST_P(LineSettingsTest, ReachThePort) {
    const LineCase& expected = GetParam();
    // Each setting starts opposite to what is asked, so a setting that is
    // not applied shows.
    termios before = device_.settings();
    cfsetspeed(&before, expected.speed == B38400 ? B1200 : B38400);
    before.c_cflag = expected.stopFlag ? before.c_cflag & ~CSTOPB : before.c_cflag | CSTOPB;
    before.c_cflag = expected.oddFlag ? before.c_cflag & ~PARODD : before.c_cflag | PARODD;
    before.c_cflag = expected.stickFlag ? before.c_cflag & ~CMSPAR : before.c_cflag | CMSPAR;
    device_.changeSettings(before);

    Program program(commandLine(expected.options));
    ASSERT_TRUE(program.waitCapturing());
    termios after = device_.settings();
    EXPECT_EQ(0, program.stopWithQ());

    EXPECT_EQ(expected.speed, cfgetospeed(&after));
    EXPECT_EQ(expected.speed, cfgetispeed(&after));
    EXPECT_EQ(expected.stopFlag, (after.c_cflag & CSTOPB) != 0);
    EXPECT_EQ(expected.oddFlag, (after.c_cflag & PARODD) != 0);
    EXPECT_EQ(expected.stickFlag, (after.c_cflag & CMSPAR) != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Options, LineSettingsTest,
    testing::Values(
        LineCase{"Defaults", {}, B9600, false, false, false},
        LineCase{"Rate50", {"-b", "50"}, B50, false, false, false},
        LineCase{"Rate38400", {"-b", "38400"}, B38400, false, false, false},
        LineCase{"Rate115200", {"-b", "115200"}, B115200, false, false, false},
        LineCase{"Rate4000000", {"-b", "4000000"}, B4000000, false, false, false},
        LineCase{"OddParity", {"-p", "1"}, B9600, false, true, false},
        LineCase{"EvenParity", {"-p", "2"}, B9600, false, false, false},
        LineCase{"MarkParity", {"-p", "3"}, B9600, false, true, true},
        LineCase{"SpaceParity", {"-p", "4"}, B9600, false, false, true},
        LineCase{"TwoStopBits", {"-s", "2"}, B9600, true, false, false},
        LineCase{
            "SevenBitsEvenTwoStop", {"-n", "7", "-p", "2", "-s", "2"}, B9600, true, false, false},
        LineCase{"FiveBitsOneAndHalfStop", {"-n", "5", "-s", "1"}, B9600, true, false, false},
        LineCase{"FiveBitsOneStop", {"-n", "5", "-s", "0"}, B9600, false, false, false}),
    [](const auto& info) { return info.param.name; });

struct RefusedCase {
    const char* name;
    std::vector<std::string> options;
};

class RefusedSettingsTest : public PtyTestWithParam<RefusedCase> {};

TEST_P(RefusedSettingsTest, FailWithInvalidArgument) {
    writeFile(capturePath(), "an earlier capture");

    Finished run = runToExit(commandLine(GetParam().options));

    EXPECT_EQ("error setting comm: 22\n", run.output);
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(fileExists(capturePath()));
    EXPECT_EQ("", captured());
}

INSTANTIATE_TEST_SUITE_P(
    Combinations, RefusedSettingsTest,
    testing::Values(RefusedCase{"RateZero", {"-b", "0"}}, RefusedCase{"FourDataBits", {"-n", "4"}},
                    RefusedCase{"NineDataBits", {"-n", "9"}},
                    RefusedCase{"OneAndHalfStopWithEightBits", {"-s", "1"}},
                    RefusedCase{"OneAndHalfStopWithSixBits", {"-n", "6", "-s", "1"}},
                    RefusedCase{"OneAndHalfStopWithSevenBits", {"-n", "7", "-s", "1"}},
                    RefusedCase{"TwoStopWithFiveBits", {"-n", "5", "-s", "2"}}),
    [](const auto& info) { return info.param.name; });

class CustomRateTest : public PtyTestWithParam<std::uint32_t> {};

// Rates without a B constant are carried as numbers on Linux.
TEST_P(CustomRateTest, IsAcceptedAndReachesThePort) {
    std::uint32_t rate = GetParam();
    Program program(commandLine({"-b", std::to_string(rate)}));
    ASSERT_TRUE(program.waitCapturing());
    std::optional<CustomRate> set = readCustomRate(device_.master());
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("", program.output());

    ASSERT_TRUE(set.has_value());
    EXPECT_TRUE(set->customFlag);
    EXPECT_EQ(rate, set->output);
    EXPECT_EQ(rate, set->input);
}

INSTANTIATE_TEST_SUITE_P(Rates, CustomRateTest, testing::Values(250000u, 31250u, 100000u));

// --- What else the line settings carry ------------------------------------

struct Flag {
    const char* name;
    tcflag_t termios::*field;
    tcflag_t bit;
};

// A new pseudo-terminal edits lines, echoes and maps CR to LF; these are
// all set before the program starts and must all be gone when it captures.
constexpr Flag kEditingFlags[] = {
    {"ICANON", &termios::c_lflag, ICANON}, {"ECHO", &termios::c_lflag, ECHO},
    {"ECHONL", &termios::c_lflag, ECHONL}, {"ISIG", &termios::c_lflag, ISIG},
    {"IEXTEN", &termios::c_lflag, IEXTEN}, {"ICRNL", &termios::c_iflag, ICRNL},
    {"INLCR", &termios::c_iflag, INLCR},   {"IGNCR", &termios::c_iflag, IGNCR},
    {"ISTRIP", &termios::c_iflag, ISTRIP}, {"PARMRK", &termios::c_iflag, PARMRK},
    {"IXON", &termios::c_iflag, IXON},
};

using LineDisciplineTest = PtyTest;

TEST_F(LineDisciplineTest, IsMadeTransparent) {
    termios before = device_.settings();
    for (const Flag& flag : kEditingFlags) before.*flag.field |= flag.bit;
    // Modem lines are ignored on a port opened this way.
    before.c_cflag &= ~CLOCAL;
    device_.changeSettings(before);

    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    termios after = device_.settings();
    EXPECT_EQ(0, program.stopWithQ());

    for (const Flag& flag : kEditingFlags) {
        EXPECT_EQ(0u, after.*flag.field & flag.bit) << flag.name << " is still set";
    }
    EXPECT_NE(0u, after.c_cflag & CLOCAL);
    // A pseudo-terminal keeps CREAD set whatever is asked, so it proves
    // nothing here; it is named for the reader looking for it.
}

struct FlowControlCase {
    const char* name;
    bool on;
};

class FlowControlTest : public PtyTestWithParam<FlowControlCase> {};

TEST_P(FlowControlTest, IsKeptAsThePortHadIt) {
    termios before = device_.settings();
    tcflag_t hardware = CRTSCTS;
    tcflag_t input = IXOFF;
    before.c_cflag = GetParam().on ? before.c_cflag | hardware : before.c_cflag & ~hardware;
    before.c_iflag = GetParam().on ? before.c_iflag | input : before.c_iflag & ~input;
    device_.changeSettings(before);

    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    termios after = device_.settings();
    EXPECT_EQ(0, program.stopWithQ());

    EXPECT_EQ(GetParam().on, (after.c_cflag & CRTSCTS) != 0);
    EXPECT_EQ(GetParam().on, (after.c_iflag & IXOFF) != 0);
}

INSTANTIATE_TEST_SUITE_P(States, FlowControlTest,
                         testing::Values(FlowControlCase{"On", true},
                                         FlowControlCase{"Off", false}),
                         [](const auto& info) { return info.param.name; });

using PurgeTest = PtyTest;

TEST_F(PurgeTest, BytesQueuedBeforeTheOpenAreDropped) {
    // A whole line and a partial one, as a device left talking would leave.
    ASSERT_TRUE(device_.send("stale line\nstale part"));

    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "fresh\n"));
    EXPECT_EQ(0, program.stopWithQ());

    EXPECT_EQ("fresh\r\n", captured());
}

// --- The device marking what its line does -------------------------------

// Opens the port as the capture does, watching its line.
std::unique_ptr<SerialDevice> openWatched(const std::string& path) {
    std::unique_ptr<SerialDevice> port = makePlatformDevice();
    port->watchLine(true);
    LineSettings line;
    bool opened = port->open(path) && port->setupQueues(4096, 4096) && port->getLineSettings(line);
    line.baudRate = 9600;
    line.byteSize = 8;
    opened = opened && port->setLineSettings(line) &&
             port->setEventMask(kEventRxChar | kLineEventMask) && port->purge(kPurgeAll) &&
             port->createEvent();
    return opened ? std::move(port) : nullptr;
}

// Passes as the capture makes them until count bytes came, or the patience ends.
std::string receive(SerialDevice& port, std::size_t count) {
    std::string got;
    auto giveUp = Clock::now() + kPatience;
    while (got.size() < count && Clock::now() < giveUp) {
        WaitSet set;
        port.addSources(set, 0);
        set.due(Clock::now() + std::chrono::milliseconds(100));
        waitOrPause(set, waitOn);
        port.sourcesFound(set);
        std::uint32_t events = 0;
        std::uint32_t queued = 0;
        std::uint8_t buffer[64];
        std::uint32_t read = 0;
        if (port.waitEvent(events) == EventWait::Event && (events & kEventRxChar) != 0 &&
            port.clearErrors(queued) && queued > 0 &&
            port.startRead(buffer, sizeof buffer, read) == ReadStart::Completed) {
            got.append(reinterpret_cast<const char*>(buffer), read);
        }
    }
    return got;
}

// A pseudo-terminal has no modem lines and no driver counts, so nothing
// to mark: it is read as without watching, its line discipline's fastest
// way, each byte as sent.
TEST(WatchedLineTest, PseudoTerminalGivesEachByteOnceAndNoMarks) {
    DevicePty device;
    std::unique_ptr<SerialDevice> port = openWatched(device.portPath());
    ASSERT_TRUE(port);
    EXPECT_EQ(0u, device.settings().c_iflag & PARMRK);
    const std::string sent(
        "a\xFF\xFF"
        "b\0c",
        6);
    ASSERT_TRUE(device.send(sent));

    EXPECT_EQ(sent, receive(*port, sent.size()));
    std::vector<LineMark> marks;
    port->takeMarks(marks);
    EXPECT_TRUE(marks.empty());
    EXPECT_FALSE(port->modemLines());
    EXPECT_EQ(0u, port->dropped().bytes);
    EXPECT_TRUE(port->closePort());
}

// The bytes a driver counted as dropped, as its counts moved between
// reads: marked after the bytes of the read that found them, and told in
// full by dropped() whenever asked.
TEST(WatchedLineTest, DroppedBytesAreWhatTheDriverCounted) {
    FakeLineDriver driver;
    driver.counts(5, 1);
    DevicePty device;
    std::unique_ptr<SerialDevice> port = openWatched(device.portPath());
    ASSERT_TRUE(port);

    driver.counts(8, 5);
    ASSERT_TRUE(device.send("abc"));
    EXPECT_EQ("abc", receive(*port, 3));
    driver.counts(8, 7);
    EXPECT_EQ(9u, port->dropped().bytes);
    ASSERT_TRUE(device.send("d"));
    EXPECT_EQ("d", receive(*port, 1));

    std::vector<LineMark> marks;
    port->takeMarks(marks);
    ASSERT_EQ(2u, marks.size());
    EXPECT_EQ(LineEventKind::Dropped, marks[0].kind);
    EXPECT_EQ(7u, marks[0].count);
    EXPECT_EQ(LineEventKind::Dropped, marks[1].kind);
    EXPECT_EQ(2u, marks[1].count);
    EXPECT_EQ(4u, marks[1].at);

    // What the counts moved by after the last read is marked at the end.
    driver.counts(10, 7);
    std::uint8_t rest[16];
    EXPECT_EQ(0u, port->takeBuffered(rest, sizeof rest));
    marks.clear();
    port->takeMarks(marks);
    ASSERT_EQ(1u, marks.size());
    EXPECT_EQ(2u, marks[0].count);
    EXPECT_EQ(0u, marks[0].at);
    EXPECT_EQ(11u, port->dropped().bytes);
    EXPECT_TRUE(port->closePort());
}

// A change of the modem lines on a quiet line is an event of the capture's
// one wait; the thread that waits for it ends with the port.
TEST(WatchedLineTest, ModemLinesChangeWakesTheWaitAndItsWatcherEndsAtTheClose) {
    FakeLineDriver driver;
    driver.changeLines(TIOCM_CTS | TIOCM_DSR);
    DevicePty device;
    std::unique_ptr<SerialDevice> port = openWatched(device.portPath());
    ASSERT_TRUE(port);
    EXPECT_EQ(kLineCts | kLineDsr, port->modemLines());

    driver.changeLines(TIOCM_CTS | TIOCM_CD);
    std::uint32_t events = 0;
    auto giveUp = Clock::now() + kPatience;
    while (events == 0 && Clock::now() < giveUp) {
        WaitSet set;
        port->addSources(set, 0);
        set.due(giveUp);
        waitOrPause(set, waitOn);
        port->sourcesFound(set);
        if (port->waitEvent(events) != EventWait::Event) events = 0;
    }
    EXPECT_EQ(kEventDsr | kEventRlsd, events);
    std::vector<LineMark> marks;
    port->takeMarks(marks);
    ASSERT_EQ(1u, marks.size());
    EXPECT_EQ(LineEventKind::ModemLines, marks[0].kind);
    EXPECT_EQ(0u, marks[0].at);
    EXPECT_EQ(kLineCts | kLineDcd, marks[0].lines);

    ASSERT_TRUE(driver.waitedIn(true, kPatience));
    EXPECT_TRUE(port->closePort());
    EXPECT_TRUE(driver.waitedIn(false, std::chrono::seconds(0)));
}

// --- Port names ------------------------------------------------------------

struct PortNameCase {
    const char* name;
    const char* path;
};

class PortNameTest : public testing::TestWithParam<PortNameCase> {};

TEST_P(PortNameTest, MapsToADevicePath) {
    EXPECT_EQ(GetParam().path, posixDevicePath(GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(
    Names, PortNameTest,
    testing::Values(PortNameCase{"COM1", "/dev/ttyS0"}, PortNameCase{"COM10", "/dev/ttyS9"},
                    PortNameCase{"COM256", "/dev/ttyS255"}, PortNameCase{"ttyUSB0", "/dev/ttyUSB0"},
                    PortNameCase{"COM0", "/dev/COM0"}, PortNameCase{"COM", "/dev/COM"},
                    PortNameCase{"COM1x", "/dev/COM1x"}, PortNameCase{"com1", "/dev/com1"},
                    PortNameCase{"/dev/pts/3", "/dev/pts/3"}, PortNameCase{"./COM1", "./COM1"}));

// Pseudo-terminals keep their framing out of the read-back check.
TEST(PseudoTerminalMajor, CoversUnix98AndLegacySlavesOnly) {
    for (unsigned major : {136u, 140u, 143u, 3u}) EXPECT_TRUE(isPseudoTerminalMajor(major));
    // ttyS, ttyUSB, ttyACM, the pty masters and /dev/tty.
    for (unsigned major : {4u, 188u, 166u, 128u, 135u, 144u, 5u}) {
        EXPECT_FALSE(isPseudoTerminalMajor(major)) << major;
    }
}

}  // namespace
}  // namespace serialtap::test

// Signals beyond the stop requests: those that end the process by their own
// action, those the program was started with ignored, failed writes, a
// stop request repeated while the capture is written out, and a start with
// standard descriptors closed.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using serialtap::test::operator<<;

// Held in the capture's buffer until the shutdown writes it out.
const std::string kHeld = "held until the end\nsecond line\n";

void expectTerminalAsAtStart(Program& program) {
    termios now = program.consoleNow();
    EXPECT_EQ(program.consoleAtStart().c_lflag, now.c_lflag);
    EXPECT_EQ(program.consoleAtStart().c_cc[VMIN], now.c_cc[VMIN]);
}

void withoutCoreFiles() {
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

struct EndingCase {
    const char* name;
    int signal;
};

class EndingSignalTest : public PtyTestWithParam<EndingCase> {};

// The capture is kept and the terminal restored first; then the process ends
// as the signal asks, so whoever sent it sees it did.
TEST_P(EndingSignalTest, KeepsTheCaptureThenEndsByTheSignal) {
    Program program(commandLine(), ConsoleKind::Terminal, Launch{{}, withoutCoreFiles, {}});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, kHeld));

    kill(program.pid(), GetParam().signal);
    EXPECT_EQ(128 + GetParam().signal, program.waitExit());
    EXPECT_EQ(withLineEndsExpanded(kHeld), captured());
    expectTerminalAsAtStart(program);
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignalTest,
                         testing::Values(EndingCase{"Sigusr1", SIGUSR1},
                                         EndingCase{"Sigusr2", SIGUSR2},
                                         EndingCase{"Sigalrm", SIGALRM},
                                         EndingCase{"Sigvtalrm", SIGVTALRM},
                                         EndingCase{"Sigxcpu", SIGXCPU}),
                         [](const auto& info) { return info.param.name; });

using InheritedIgnoreTest = PtyTest;

// A background job of a shell without job control starts with these ignored.
void ignoreInterrupts() {
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGQUIT, SIG_IGN);
}

TEST_F(InheritedIgnoreTest, InterruptKeysStayIgnored) {
    Program program(commandLine(), ConsoleKind::Terminal, Launch{{}, ignoreInterrupts, {}});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "before\n"));
    program.type("\x03\x1c");
    kill(program.pid(), SIGINT);
    ASSERT_TRUE(deliver(program, "after\n"));
    ASSERT_TRUE(program.running());
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("before\r\nafter\r\n", captured());
}

TEST_F(InheritedIgnoreTest, NohupKeepsTheCaptureThroughAHangUp) {
    // nohup puts its output file in the working directory: the test's own.
    std::string dir = capturePath().substr(0, capturePath().rfind('/'));
    Program program(commandLine(), ConsoleKind::Terminal,
                    Launch{{"/usr/bin/env", "-C", dir, "/usr/bin/nohup"}, nullptr, {}});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "before\n"));
    kill(program.pid(), SIGHUP);
    ASSERT_TRUE(deliver(program, "after\n"));
    ASSERT_TRUE(program.running());
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("before\r\nafter\r\n", captured());
}

class FailedWriteTest : public PtyTest {
protected:
    // More than the buffer holds, so that it is written out while capturing.
    const std::string overflowing_ = randomBytes(3 * 4096 + 1);

    // Reported, never a silent death: status 1 and a message.
    static void expectReportedFailure(Program& program) {
        // The capture may already have ended by itself on the failure.
        kill(program.pid(), SIGTERM);
        EXPECT_EQ(1, program.waitExit());
        EXPECT_NE(std::string::npos, program.output().find("Error: Can't"))
            << "shown: " << program.output();
        expectTerminalAsAtStart(program);
    }
};

// As a pipe ends the tools that write into it, the capture ends by itself.
TEST_F(FailedWriteTest, ReaderOfAPipeGoneEndsTheCapture) {
    std::string fifo = dir_.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(reader.get(), 0);
    Program program({fifo, "-c", device_.portPath()});
    ASSERT_TRUE(program.waitCapturing());
    reader.reset();

    // The capture may end at its first write-out, before it has read all.
    deliver(program, overflowing_);
    EXPECT_EQ(1, program.waitExit());
    EXPECT_NE(std::string::npos, program.output().find("Error: Can't write the file: 32"))
        << "shown: " << program.output();
    expectTerminalAsAtStart(program);
}

void smallFileSizeLimit() {
    rlimit limit{6000, 6000};
    setrlimit(RLIMIT_FSIZE, &limit);
}

TEST_F(FailedWriteTest, FileSizeLimitIsReported) {
    Program program(commandLine(), ConsoleKind::Terminal, Launch{{}, smallFileSizeLimit, {}});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, overflowing_));
    expectReportedFailure(program);
}

using RepeatedStopTest = PtyTest;

// A capture into a pipe nobody reads: writing it out may never finish, so a
// second request must end the program, with the terminal as it was.
TEST_F(RepeatedStopTest, SecondRequestEndsAStuckShutdownAtOnce) {
    std::string fifo = dir_.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(reader.get(), 0);
    Program program({fifo, "-c", device_.portPath()});
    ASSERT_TRUE(program.waitCapturing());

    // Far more than the pipe holds; whatever the program takes of it.
    device_.send(randomBytes(std::size_t{256} * 1024), std::chrono::seconds(2));
    kill(program.pid(), SIGTERM);
    // A repeat that follows at once is taken for the same request, so the
    // second comes later; once more in case the first was handled late.
    // Each one only interrupts the write that hangs unless it ends the program.
    program.watchOutputFor(std::chrono::milliseconds(500));
    for (int request = 0; request < 2 && program.running(); ++request) {
        program.type("\x03");
        auto until = Clock::now() + std::chrono::milliseconds(1500);
        while (program.running() && Clock::now() < until) {
            program.watchOutputFor(std::chrono::milliseconds(20));
        }
    }
    EXPECT_EQ(1, program.waitExit());
    expectTerminalAsAtStart(program);
}

using ClosedDescriptorTest = PtyTest;

void closeStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) close(fd);
}

std::string openedAs(pid_t pid, int fd) {
    std::error_code error;
    auto path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    return std::filesystem::read_symlink(path, error).string();
}

// Started by a service manager with all three closed: what the program opens
// must not take their numbers, or messages would land in the capture file.
TEST_F(ClosedDescriptorTest, StandardDescriptorsAreNullNotTheCapture) {
    Program program(commandLine(), ConsoleKind::None, Launch{{}, closeStandardDescriptors, {}});
    ASSERT_TRUE(program.waitCapturing());
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        EXPECT_EQ("/dev/null", openedAs(program.pid(), fd)) << "descriptor " << fd;
    }
    ASSERT_TRUE(deliver(program, kHeld));
    kill(program.pid(), SIGTERM);
    EXPECT_EQ(0, program.waitExit());
    EXPECT_EQ(withLineEndsExpanded(kHeld), captured());
}

}  // namespace
}  // namespace serialtap::test

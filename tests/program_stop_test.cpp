// How a capture ends: by q, by a stop signal, by closing the terminal,
// without a console or as a job of a shell, and when the port hangs up.

#include <termios.h>

#include <csignal>
#include <string>
#include <thread>

#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using serialtap::test::operator<<;

// Fewer than the 4096 bytes the capture holds before writing out, with
// line ends in it, so that only the shutdown can store them.
std::string bufferedBytes() {
    std::string bytes;
    for (int line = 0; line < 40; ++line) bytes += "line " + std::to_string(line) + " of data\n";
    return bytes;
}

enum class Stop { Key, Signal, TypedInterrupt, TypedQuit };

struct StopCase {
    const char* name;
    Stop how;
    int signal;
};

class StopTest : public PtyTestWithParam<StopCase> {};

TEST_P(StopTest, KeepsEveryByteAndRestoresTheTerminal) {
    const StopCase& stop = GetParam();
    const std::string received = bufferedBytes();
    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());

    // Keys count without Enter and are not echoed while capturing.
    termios capturing = program.consoleNow();
    EXPECT_EQ(0u, capturing.c_lflag & (ICANON | ECHO));
    EXPECT_NE(0u, capturing.c_lflag & ISIG) << "Ctrl+C must still interrupt";

    ASSERT_TRUE(deliver(program, received));
    ASSERT_EQ("", captured()) << "the bytes were meant to be held in the buffer";

    switch (stop.how) {
        case Stop::Key:
            program.type("q");
            break;
        case Stop::Signal:
            kill(program.pid(), stop.signal);
            break;
        case Stop::TypedInterrupt:
            program.type("\x03");
            break;
        case Stop::TypedQuit:
            program.type("\x1c");
            break;
    }
    EXPECT_EQ(0, program.waitExit());
    EXPECT_EQ(withLineEndsExpanded(received), captured());
    EXPECT_EQ("", program.output());

    termios restored = program.consoleNow();
    const termios& start = program.consoleAtStart();
    EXPECT_EQ(start.c_lflag, restored.c_lflag);
    EXPECT_EQ(start.c_iflag, restored.c_iflag);
    EXPECT_EQ(start.c_oflag, restored.c_oflag);
    EXPECT_EQ(start.c_cc[VMIN], restored.c_cc[VMIN]);
    EXPECT_EQ(start.c_cc[VTIME], restored.c_cc[VTIME]);
}

INSTANTIATE_TEST_SUITE_P(Ways, StopTest,
                         testing::Values(StopCase{"KeyQ", Stop::Key, 0},
                                         StopCase{"Sigint", Stop::Signal, SIGINT},
                                         StopCase{"Sigterm", Stop::Signal, SIGTERM},
                                         StopCase{"Sighup", Stop::Signal, SIGHUP},
                                         StopCase{"CtrlC", Stop::TypedInterrupt, 0},
                                         StopCase{"Sigquit", Stop::Signal, SIGQUIT},
                                         StopCase{"CtrlBackslash", Stop::TypedQuit, 0}),
                         [](const auto& info) { return info.param.name; });

using ClosedTerminalTest = PtyTest;

// Closing the terminal window hangs the console up and sends SIGHUP.
TEST_F(ClosedTerminalTest, EndsTheCaptureKeepingEveryByte) {
    const std::string received = bufferedBytes();
    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, received));

    program.closeConsole();
    EXPECT_EQ(0, program.waitExit());
    EXPECT_EQ(withLineEndsExpanded(received), captured());
}

using NoConsoleTest = PtyTest;

// Started from a service or cron: no terminal to read keys from, so a
// signal is the way to stop it.
TEST_F(NoConsoleTest, CapturesUntilTerminated) {
    Program program(commandLine(), ConsoleKind::None);
    ASSERT_TRUE(program.waitCapturing());
    const std::string received = bufferedBytes();
    ASSERT_TRUE(deliver(program, received));

    kill(program.pid(), SIGTERM);
    EXPECT_EQ(0, program.waitExit());
    EXPECT_EQ(withLineEndsExpanded(received), captured());
    EXPECT_EQ("", program.output());
}

using JobControlTest = PtyTest;

// Started with & from a shell: the terminal belongs to the shell, so the
// capture leaves it alone, takes no keys and is stopped by a signal.
TEST_F(JobControlTest, BackgroundJobTakesNoKeysAndLeavesTheTerminalAlone) {
    Program program(commandLine(), ConsoleKind::BackgroundJob);
    ASSERT_TRUE(program.waitCapturing());
    program.type("q\r");
    ASSERT_TRUE(deliver(program, "after the key\n"));
    // Back waiting, neither ended by the key nor stopped for touching the terminal.
    ASSERT_TRUE(program.waitCapturing());

    termios during = program.consoleNow();
    EXPECT_EQ(program.consoleAtStart().c_lflag, during.c_lflag);
    kill(program.pid(), SIGTERM);
    EXPECT_EQ(0, program.waitExit());
    EXPECT_EQ("after the key\r\n", captured());
}

// Ctrl+Z and bg: the shell has the terminal again, and its user types a
// command line ahead while the foreground is busy. The line is not the
// capture's; it must neither take it nor spin while the line waits.
TEST_F(JobControlTest, JobSentToTheBackgroundDoesNotSpinOnTypedAheadInput) {
    Program program(commandLine(), ConsoleKind::ForegroundJob);
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(program.sendToBackground());
    program.type("date\r");

    CpuWatch cpu(program);
    program.watchOutputFor(std::chrono::milliseconds(1500));
    EXPECT_TRUE(cpu.stayedIdle()) << "with a line waiting for the shell";

    ASSERT_TRUE(deliver(program, "still captured\n"));
    kill(program.pid(), SIGTERM);
    EXPECT_EQ(0, program.waitExit());
    EXPECT_EQ("still captured\r\n", captured());
}

TEST_F(JobControlTest, StoppedAndContinuedJobTakesKeysWithoutEnterAgain) {
    Program program(commandLine(), ConsoleKind::ForegroundJob);
    ASSERT_TRUE(program.waitCapturing());
    program.type("\x1a");  // Ctrl+Z
    // A shell takes the job back only once it has stopped; a continue sent
    // before that would be lost and leave it stopped for good.
    auto stopped = Clock::now() + kPatience;
    while (program.sleepingIn() != "do_signal_stop" && Clock::now() < stopped) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(program.sendToBackground());
    ASSERT_NE(0u, program.consoleNow().c_lflag & ICANON) << "the shell's modes are back";

    ASSERT_TRUE(program.bringToForeground());
    auto deadline = Clock::now() + kPatience;
    while ((program.consoleNow().c_lflag & (ICANON | ECHO)) != 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(0u, program.consoleNow().c_lflag & (ICANON | ECHO));
    ASSERT_TRUE(device_.send("after fg\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("after fg\r\n", captured());
    EXPECT_EQ(program.output().find('q'), std::string::npos) << "q was echoed";
}

using HangUpTest = PtyTest;

// A pseudo-terminal named by its own path is not opened again: its number
// soon names another program's terminal, which the capture would take.
TEST_F(HangUpTest, IsReportedOnceNotReopenedAndQStillStops) {
    const std::string message =
        "Error for Waiting Comm Event: 5\r\n"
        "serial port not reopened: a pseudo-terminal that hung up does not come back\r\n";
    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "before the hang-up\n"));

    device_.hangUp();
    ASSERT_TRUE(program.waitOutputContains(message));

    // Keys end each wait; none may bring a retry or a message.
    CpuWatch cpu(program);
    for (int key = 0; key < 30; ++key) {
        program.type("x");
        ASSERT_TRUE(program.waitBytesRead(1));
    }
    program.watchOutputFor(std::chrono::milliseconds(2500));
    EXPECT_TRUE(cpu.stayedIdle()) << "while the port was hung up";
    EXPECT_EQ(message, program.output());

    ASSERT_TRUE(program.running());
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("before the hang-up\r\n", captured());
}

}  // namespace
}  // namespace serialtap::test

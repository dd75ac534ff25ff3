// What the capture shows (messages, the status line, the received bytes)
// never holds the capture up: a terminal stopped by Ctrl+S, a pipe nobody
// reads, a message on top of the status line.

#include <unistd.h>

#include <string>

#include "tests/pty_harness.h"
#include "tests/terminal_screen.h"

namespace serialtap::test {
namespace {

using ShownOutputTest = PtyTest;

// Ctrl+S used to stop the terminal's output, and the next write the capture.
TEST_F(ShownOutputTest, CtrlSIsAKeyAndLeavesTheViewGoing) {
    Program program(commandLine({"-v", "2"}));
    ASSERT_TRUE(program.waitCapturing());
    program.type("\x13");
    ASSERT_TRUE(program.waitBytesRead(1));
    ASSERT_TRUE(deliver(program, "after ctrl-s\n"));
    EXPECT_TRUE(program.waitOutputContains("after ctrl-s\r\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("after ctrl-s\r\n", captured());
}

// Standard output is a pipe the program itself holds open and never reads.
void outputIntoAnUnreadPipe() {
    int ends[2];
    if (pipe(ends) != 0) _exit(126);
    dup2(ends[1], STDOUT_FILENO);
    close(ends[1]);
}

// A full pipe used to hold the capture up for good, its stop conditions too.
TEST_F(ShownOutputTest, UnreadPipeDoesNotHoldTheCaptureOrItsIdleLimit) {
    const std::string received = randomBytes(std::size_t{400} * 1024);
    Program program(commandLine({"-v", "2", "-i", "2"}), ConsoleKind::Terminal,
                    Launch{{}, outputIntoAnUnreadPipe, {}});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, received)) << "the capture stopped reading";
    EXPECT_EQ(0, program.waitExit());
    EXPECT_TRUE(captured() == withLineEndsExpanded(received));
    EXPECT_NE(std::string::npos, program.output().find(" received bytes were not shown"))
        << program.output();
}

// The capture file's message used to be written on after the status line.
TEST_F(ShownOutputTest, FileErrorGetsALineOfItsOwnUnderTheStatusLine) {
    Program program({"/dev/full", "-c", device_.portPath(), "-v", "1"});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(program.waitOutputContains("q to stop"));
    ASSERT_TRUE(deliver(program, std::string(5000, 'x')));
    ASSERT_TRUE(program.waitOutputContains("Error: Can't write the file: 28"));
    EXPECT_EQ(1, program.stopWithQ());
    testing::TerminalScreen screen;
    screen.write(program.output());
    std::vector<std::string> lines = screen.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("Error: Can't write the file: 28", lines[0]) << program.output();
}

}  // namespace
}  // namespace serialtap::test

// What a user sees: the words in place of the file name, and the status
// line (-v 1) and received bytes (-v 2) while capturing.

#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/pty_harness.h"
#include "tests/terminal_screen.h"

namespace serialtap::test {
namespace {

using serialtap::test::operator<<;

struct WordCase {
    const char* name;
    const char* word;
    const char* shownFirst;
};

class WordTest : public PtyTestWithParam<WordCase> {};

// The words exit 0 without waiting for a key and are never taken as a
// capture file.
TEST_P(WordTest, AnswersAndExitsWithoutAKey) {
    const WordCase& word = GetParam();
    Program program({word.word, "-c", device_.portPath()});
    EXPECT_EQ(0, program.waitExit());
    EXPECT_EQ(0u, program.output().rfind(word.shownFirst, 0)) << program.output();
    EXPECT_FALSE(fileExists(word.word));
}

INSTANTIATE_TEST_SUITE_P(
    Words, WordTest,
    ::testing::Values(WordCase{"Help", "--help", "usage: serialtap <file> <options>\r\n"},
                      WordCase{"Version", "--version", "serialtap " SERIALTAP_VERSION "\r\n"},
                      WordCase{"List", "--list", "/dev/"}),
    [](const auto& info) { return info.param.name; });

void closeStandardOutput() { close(STDOUT_FILENO); }

using ListOutputTest = PtyTest;

// Written into what stands in for the closed output, the list reaches no one.
TEST_F(ListOutputTest, ClosedStandardOutputIsAFailure) {
    Program program({"--list"}, ConsoleKind::None, Launch{{}, closeStandardOutput, {}});
    EXPECT_EQ(1, program.waitExit());
}

// Switches of the program from running to waiting: each is one wake-up.
long voluntarySwitches(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return -1;
}

// Wake-ups over a span of at least the given length, and the length.
struct Wakes {
    long count;
    double seconds;
};

Wakes wakesWhileIdle(Program& program, std::chrono::milliseconds span) {
    long before = voluntarySwitches(program.pid());
    auto start = Clock::now();
    program.watchOutputFor(span);
    long after = voluntarySwitches(program.pid());
    return {after - before, std::chrono::duration<double>(Clock::now() - start).count()};
}

testing::TerminalScreen screenOf(const std::string& output) {
    testing::TerminalScreen screen;
    screen.write(output);
    return screen;
}

using StatusLineTest = PtyTest;

TEST_F(StatusLineTest, IsShownErasedForMessagesAndGoneAtTheEnd) {
    Program program(commandLine({"-b", "115200", "-v", "1"}));
    ASSERT_TRUE(program.waitCapturing());
    // Shortened from its start to fit the 80 columns of the console.
    ASSERT_TRUE(
        program.waitOutputContains("/capture.bin | 0 B | 0 B/s | no bytes yet | open | q to stop"));
    ASSERT_TRUE(deliver(program, std::string(1000, 'x')));
    ASSERT_TRUE(program.waitOutputContains("| 1000 B |"));

    // The far end hangs up: the port's message gets a line of its own.
    device_.hangUp();
    ASSERT_TRUE(program.waitOutputContains("Error for Waiting Comm Event: 5\r\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ(std::string(1000, 'x'), captured());

    testing::TerminalScreen screen = screenOf(program.output());
    std::vector<std::string> lines = screen.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("Error for Waiting Comm Event: 5", lines[0]) << program.output();
    EXPECT_EQ("", screen.cursorLine()) << "the status line is left on the screen";
    EXPECT_EQ(0u, screen.cursorColumn());
}

// -r 0 leaves a port that hung up as it is, but the line says it is lost.
TEST_F(StatusLineTest, SaysLostWhenThePortIsNotReopened) {
    Program program(commandLine({"-v", "1", "-r", "0"}));
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(program.waitOutputContains("| open | q to stop"));
    device_.hangUp();
    ASSERT_TRUE(program.waitOutputContains("| lost | q to stop"));
    EXPECT_EQ(0, program.stopWithQ());
}

// Nothing changes on the line before the first byte, so nothing wakes the
// program; after a byte, "last byte 3 s ago" changes once a second.
TEST_F(StatusLineTest, WakesAnIdleCaptureAtMostOnceASecond) {
    Program program(commandLine({"-v", "1"}));
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(program.waitOutputContains("q to stop"));
    Wakes beforeAnyByte = wakesWhileIdle(program, std::chrono::milliseconds(2500));
    EXPECT_LE(beforeAnyByte.count, 1) << "in " << beforeAnyByte.seconds << " s";

    ASSERT_TRUE(deliver(program, "one line\n"));
    ASSERT_TRUE(program.waitOutputContains("last byte 1 s ago"));
    Wakes afterAByte = wakesWhileIdle(program, std::chrono::milliseconds(3500));
    EXPECT_LE(afterAByte.count, static_cast<long>(afterAByte.seconds) + 2)
        << "in " << afterAByte.seconds << " s";
    EXPECT_GE(afterAByte.count, 2) << "the age of the last byte stopped counting";
    EXPECT_EQ(0, program.stopWithQ());
}

// Without a terminal on standard error: no line while capturing, one
// summary at the end.
TEST_F(StatusLineTest, BecomesOneSummaryLineWithoutATerminal) {
    const std::string errors = dir_.file("errors.txt");
    Program program(commandLine({"-v", "1"}), ConsoleKind::Terminal, Launch{{}, nullptr, errors});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "12345\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("", program.output());
    const std::string summary = readFile(errors);
    EXPECT_EQ(0u, summary.rfind(device_.portPath() + " 9600 8N1 -> " + capturePath() +
                                ": 6 bytes received in "))
        << summary;
    EXPECT_EQ(1u, countOf(summary, "\n"));
    EXPECT_NE(std::string::npos, summary.find(", port open\n")) << summary;
}

// A capture in the background leaves the terminal's line to the foreground.
TEST_F(StatusLineTest, StaysOffTheTerminalInTheBackground) {
    Program program(commandLine({"-v", "1"}), ConsoleKind::BackgroundJob);
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "data\n"));
    program.watchOutputFor(std::chrono::milliseconds(1500));
    kill(program.pid(), SIGTERM);
    EXPECT_EQ(0, program.waitExit());
    EXPECT_EQ(std::string::npos, program.output().find("q to stop")) << program.output();
    EXPECT_EQ("data\r\n", captured());
}

using ShownBytesTest = PtyTest;

// -v 2: the bytes on the screen as they arrive, with control characters
// that would change the terminal's modes made harmless, C1 ones (CSI, OSC)
// in UTF-8 and as single bytes too; the capture is untouched.
TEST_F(ShownBytesTest, AppearAsTheyArriveWithoutControlSequences) {
    const std::string sent =
        "boot\x1b[2J\x0e ok\tdone \xC2\x9B"
        "2J\x9D caf\xC3\xA9\n";
    Program program(commandLine({"-v", "2"}), ConsoleKind::Terminal,
                    Launch{{"/usr/bin/env", "LC_ALL=C.UTF-8"}, nullptr, {}});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, sent));
    ASSERT_TRUE(program.waitOutputContains("boot.[2J. ok\tdone .2J. caf\xC3\xA9\r\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ(withLineEndsExpanded(sent), captured());
    EXPECT_EQ(std::string::npos, program.output().find("q to stop"));
}

}  // namespace
}  // namespace serialtap::test

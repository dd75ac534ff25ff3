// The program as a user runs it: a device talks on the port, the user
// watches the console and presses q.

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using serialtap::test::operator<<;

std::string lines(int count, std::size_t width) {
    std::string text;
    for (int line = 0; line < count; ++line) {
        std::string body(width - 2, ' ');
        for (std::size_t column = 0; column < body.size(); ++column) {
            body[column] = static_cast<char>('!' + (line + column) % 94);
        }
        text += body + "\r\n";
    }
    return text;
}

// LFs around the point where the 4096-byte buffer is written out.
std::string acrossTheBufferEdge(std::size_t size) {
    std::string bytes(size, 'x');
    for (std::size_t at : {std::size_t{0}, std::size_t{4094}, std::size_t{4095}, size - 1}) {
        if (at < size) bytes[at] = '\n';
    }
    return bytes;
}

struct DataCase {
    const char* name;
    std::string received;
};

class CapturedDataTest : public PtyTestWithParam<DataCase> {};

TEST_P(CapturedDataTest, IsStoredWithLineEndsExpanded) {
    const std::string& received = GetParam().received;
    Program program(commandLine({"-b", "115200"}));
    ASSERT_TRUE(program.waitCapturing());

    ASSERT_TRUE(deliver(program, received));
    EXPECT_EQ(0, program.stopWithQ());

    // Compared as a whole only when equal in size, to keep a failure readable.
    std::string stored = captured();
    std::string expected = withLineEndsExpanded(received);
    ASSERT_EQ(expected.size(), stored.size());
    EXPECT_TRUE(stored == expected)
        << "first difference at byte "
        << std::mismatch(stored.begin(), stored.end(), expected.begin()).first - stored.begin();
    // Neither the received bytes nor the q are echoed; nothing is reported.
    EXPECT_EQ("", program.output());
}

INSTANTIATE_TEST_SUITE_P(
    Streams, CapturedDataTest,
    testing::Values(DataCase{"LinesOf80WithCrLf", lines(100, 80)},
                    DataCase{"EveryByteValue", everyByteValue()},
                    DataCase{"ThreeHundredBytesAtOnce", std::string(300, '\n')},
                    DataCase{"ExactlyOneBuffer", acrossTheBufferEdge(4096)},
                    DataCase{"OneByteMoreThanABuffer", acrossTheBufferEdge(4097)},
                    DataCase{"RandomMebibyte", randomBytes(1 << 20)}),
    [](const auto& info) { return info.param.name; });

struct KeysCase {
    const char* name;
    std::string keys;
    bool stops;
};

class KeysTest : public PtyTestWithParam<KeysCase> {};

// Only the code 0x71 stops; a key sent as several bytes gives each of
// them in turn, so Alt+q (ESC q) stops too.
TEST_P(KeysTest, OnlyLowerCaseQStops) {
    const KeysCase& typed = GetParam();
    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    program.type(typed.keys);

    if (!typed.stops) {
        ASSERT_TRUE(program.waitBytesRead(typed.keys.size()));
        // Still capturing after taking every key.
        ASSERT_TRUE(deliver(program, "after the keys\n"));
        program.type("q");
    }
    EXPECT_EQ(0, program.waitExit());
    EXPECT_EQ(typed.stops ? "" : "after the keys\r\n", captured());
    EXPECT_EQ("", program.output());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeysTest,
    testing::Values(KeysCase{"UpperCaseQ", "Q", false}, KeysCase{"Letters", "xyzQ", false},
                    KeysCase{"Enter", "\r", false}, KeysCase{"Space", " ", false},
                    KeysCase{"ArrowUp", "\x1b[A", false},
                    KeysCase{"FunctionKey", "\x1b[15~", false},
                    KeysCase{"NonAsciiLetter", "\xc3\xa9", false},
                    KeysCase{"UpperThenLowerQ", "Qq", true},
                    KeysCase{"OthersThenQ", "ab\x1b[Bq", true}, KeysCase{"AltQ", "\x1bq", true}),
    [](const auto& info) { return info.param.name; });

using IdleLineTest = PtyTest;

// The wait for the port also ends for a key, so an idle line is no trap.
TEST_F(IdleLineTest, QStopsWhileNothingArrives) {
    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_TRUE(fileExists(capturePath()));
    EXPECT_EQ("", captured());
    EXPECT_EQ("", program.output());
}

using RedirectedInputTest = PtyTest;

// Keys come from the terminal itself, not from standard input.
TEST_F(RedirectedInputTest, QStillStopsWithInputFromDevNull) {
    Program program(commandLine(), ConsoleKind::TerminalWithInputFromNull);
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "data\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("data\r\n", captured());
}

using FloodTest = PtyTest;

// q in the middle of a flood: whatever was captured is the stream from its
// first byte, with nothing missing or doubled on the way.
TEST_F(FloodTest, QDuringAFloodKeepsAnExactBeginningOfTheStream) {
    const std::size_t chunk = std::size_t{16} * 1024;
    const std::string data = randomBytes(std::size_t{8} * 1024 * 1024);
    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (std::size_t at = 0; at < data.size() && !stop; at += chunk) {
            if (!device_.send(data.substr(at, chunk), std::chrono::seconds(1))) break;
        }
    });
    bool flowing = program.waitBytesRead(std::size_t{512} * 1024);
    program.type("q");
    int status = program.waitExit();
    stop = true;
    writer.join();

    ASSERT_TRUE(flowing);
    EXPECT_EQ(0, status);
    const std::string stored = captured();
    const std::string expected = withLineEndsExpanded(data);
    EXPECT_GE(stored.size(), 512u * 1024u);
    ASSERT_LE(stored.size(), expected.size());
    EXPECT_TRUE(stored == expected.substr(0, stored.size()))
        << "the capture is not the stream's start";
}

}  // namespace
}  // namespace serialtap::test

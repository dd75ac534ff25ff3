// Line events as a user gets them on a pseudo-terminal, which has no
// modem lines and no line errors: the first and last lines, every byte
// value kept exactly, parts and appended runs that each say where they
// came from.

#include <filesystem>
#include <regex>
#include <string>

#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

class LineEventsTest : public PtyTest {
protected:
    std::string run(const std::vector<std::string>& options, const std::string& sent) {
        Program program(commandLine(options));
        EXPECT_TRUE(program.waitCapturing());
        EXPECT_TRUE(deliver(program, sent));
        EXPECT_EQ(0, program.stopWithQ());
        EXPECT_EQ(program.output(),
                  "line events: 0 breaks, 0 bytes with framing errors, 0 bytes with parity "
                  "errors, 0 bytes dropped, 0 modem-line changes, lost 0 times\r\n");
        return captured();
    }
};

const std::regex kBegan(
    "--- serialtap: capture began \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ: /dev/pts/\\d+ "
    "9600 8N1, no modem lines\n");
const std::regex kEnded(
    "--- serialtap: capture ended \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ: q\n");

// Every byte value, 0xFF and 0x00 among them, comes through as it was sent
// between the first and the last line; twice appended, each run says so.
TEST_F(LineEventsTest, EveryByteStaysBetweenTheFirstAndLastLinesOfEachRun) {
    const std::string bytes = everyByteValue() + everyByteValue() + "\xff\xff\n";
    const std::string once = run({"-u", "1"}, bytes);
    std::smatch began;
    ASSERT_TRUE(std::regex_search(once, began, kBegan)) << once.substr(0, 120);
    EXPECT_EQ(began.position(0), 0);
    const std::string middle = once.substr(began.length(0));
    std::smatch ended;
    ASSERT_TRUE(std::regex_search(middle, ended, kEnded));
    EXPECT_TRUE(middle.substr(0, ended.position(0)) == withLineEndsExpanded(bytes));
    EXPECT_EQ(ended.position(0) + ended.length(0), static_cast<long>(middle.size()));

    const std::string twice = run({"-u", "1", "-a", "1"}, "more\n");
    EXPECT_EQ(twice.compare(0, once.size(), once), 0);
    const std::string second = twice.substr(once.size());
    EXPECT_TRUE(std::regex_search(second, began, kBegan) && began.position(0) == 0) << second;
}

// A file that ends in the middle of a line, as a run without event lines
// may leave it, has that line ended before the first line of the next run.
TEST_F(LineEventsTest, AnAppendedRunBeginsOnALineOfItsOwn) {
    for (const char* format : {"0", "2"}) {
        writeFile(capturePath(), "cut short");
        const std::string file = run({"-u", "1", "-a", "1", "-m", format}, "x");
        const std::string begun = "cut short\r\n--- serialtap: capture began ";
        EXPECT_EQ(file.compare(0, begun.size(), begun), 0) << file;
    }
}

// Each rotated part of a text capture begins with the capture's first
// line, stamped as any line is under -d.
TEST_F(LineEventsTest, EveryPartBeginsWithTheFirstLine) {
    std::string sent;
    for (int i = 0; i < 300; ++i) sent += "line " + std::to_string(i) + " of the capture\n";
    const std::regex stamp(R"(\[ +\d+\.\d{6}\] )");
    for (bool stamped : {false, true}) {
        std::vector<std::string> options{"-u", "1", "-z", "2"};
        if (stamped) options.insert(options.end(), {"-d", "3"});
        run(options, sent);
        std::vector<std::filesystem::path> parts;
        for (const auto& entry : std::filesystem::directory_iterator(
                 std::filesystem::path(capturePath()).parent_path())) {
            if (entry.path().filename().string().rfind("capture.bin.2", 0) == 0)
                parts.push_back(entry.path());
        }
        for (const auto& name : parts) {
            std::string part = readFile(name.string());
            std::filesystem::remove(name);
            std::smatch found;
            if (stamped) {
                ASSERT_TRUE(std::regex_search(part, found, stamp) && found.position(0) == 0)
                    << name;
                part = part.substr(static_cast<std::size_t>(found.length(0)));
            }
            EXPECT_TRUE(std::regex_search(part, found, kBegan) && found.position(0) == 0) << name;
        }
        EXPECT_GE(parts.size(), 2u);
    }
}

// A raw capture appended to goes on counting its events' offsets from the
// bytes it holds, its rotated parts included.
TEST_F(LineEventsTest, AnAppendedRawCaptureCountsOnFromItsRotatedParts) {
    const std::vector<std::string> options{"-u", "1", "-m", "1", "-z", "1", "-a", "1"};
    run(options, std::string(3000, 'x'));
    run(options, "more");
    const std::string events = readFile(capturePath() + ".events");
    const std::size_t second = events.rfind("capture began");
    ASSERT_NE(second, std::string::npos) << events;
    EXPECT_EQ(events.compare(events.rfind('\n', second) + 1, 5, "3000 "), 0) << events;
}

}  // namespace
}  // namespace serialtap::test

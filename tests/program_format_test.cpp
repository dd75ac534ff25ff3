// Capture formats and time stamps as a user gets them: the program runs on
// a pseudo-terminal port, the device sends lines a moment apart.

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using serialtap::test::operator<<;
using std::chrono::milliseconds;

// Three receptions a moment apart, so that relative stamps must grow.
const std::vector<std::string> kTextLines = {"first line\r\n", "second\n", "last, unended"};
const std::vector<std::string> kHexParts = {"0123456789abcdef", "ghijklmnopqrstuv",
                                            std::string("w\nx\0y", 5)};
const std::vector<std::string> kHexLines = {
    "00000000  30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  |0123456789abcdef|\r\n",
    "00000010  67 68 69 6A 6B 6C 6D 6E 6F 70 71 72 73 74 75 76  |ghijklmnopqrstuv|\r\n",
    "00000020  77 0A 78 00 79                                   |w.x.y|\r\n"};

std::vector<std::string> splitAfterLineFeeds(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

class FormatTest : public PtyTest {
protected:
    // Runs a capture with these options while the parts arrive one by one.
    std::string capture(const std::vector<std::string>& options,
                        const std::vector<std::string>& parts) {
        Program program(commandLine(options));
        EXPECT_TRUE(program.waitCapturing());
        before_ = std::chrono::system_clock::now();
        for (const std::string& part : parts) {
            EXPECT_TRUE(deliver(program, part));
            std::this_thread::sleep_for(milliseconds(20));
        }
        after_ = std::chrono::system_clock::now();
        EXPECT_EQ(0, program.stopWithQ());
        EXPECT_EQ("", program.output());
        return captured();
    }

    std::chrono::system_clock::time_point before_;
    std::chrono::system_clock::time_point after_;
};

TEST_F(FormatTest, RawKeepsEveryByteExactly) {
    const std::string bytes = everyByteValue() + "\r\n\n" + randomBytes(100000);
    EXPECT_TRUE(capture({"-m", "1"}, {bytes}) == bytes);
}

TEST_F(FormatTest, HexDumpsSixteenBytesALine) {
    std::string expected;
    for (const std::string& line : kHexLines) expected += line;
    EXPECT_EQ(capture({"-m", "2"}, kHexParts), expected);
}

struct StampCase {
    const char* name;
    const char* style;
    const char* pattern;  // the stamp, its numbers in groups
};

class StampTest : public FormatTest, public testing::WithParamInterface<StampCase> {
protected:
    // A zone of its own, half an hour off any whole-hour one, for the
    // program and for the local times worked out here; no zone files needed.
    void SetUp() override {
        const char* zone = std::getenv("TZ");
        if (zone != nullptr) savedZone_ = zone;
        setenv("TZ", "XST-5:30", 1);
        tzset();
    }
    void TearDown() override {
        if (savedZone_) {
            setenv("TZ", savedZone_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

    // The stamps of the lines, each checked for its shape and taken off.
    static std::vector<std::vector<long long>> stampsOf(std::vector<std::string>& lines) {
        const std::regex stamp(std::string("^") + GetParam().pattern);
        std::vector<std::vector<long long>> stamps;
        for (std::string& line : lines) {
            std::smatch match;
            if (!std::regex_search(line, match, stamp)) {
                ADD_FAILURE() << "no stamp at the start of: " << line;
                continue;
            }
            std::vector<long long> numbers;
            for (std::size_t i = 1; i < match.size(); ++i) numbers.push_back(std::stoll(match[i]));
            stamps.push_back(numbers);
            line = match.suffix();
        }
        return stamps;
    }

    // The stamps, as milliseconds or microseconds, are in order and true.
    void checkTimes(const std::vector<std::vector<long long>>& stamps) {
        const std::string style = GetParam().style;
        std::vector<long long> times;
        for (const std::vector<long long>& n : stamps) {
            if (style == "1" || style == "2") {
                std::tm parts{};
                parts.tm_year = static_cast<int>(n[0]) - 1900;
                parts.tm_mon = static_cast<int>(n[1]) - 1;
                parts.tm_mday = static_cast<int>(n[2]);
                parts.tm_hour = static_cast<int>(n[3]);
                parts.tm_min = static_cast<int>(n[4]);
                parts.tm_sec = static_cast<int>(n[5]);
                parts.tm_isdst = -1;
                const std::time_t seconds = style == "1" ? mktime(&parts) : timegm(&parts);
                times.push_back(seconds * 1000 + n[6]);
            } else {
                times.push_back(n[0] * 1000000 + n[1]);
            }
        }
        using std::chrono::duration_cast;
        const long long earliest =
            duration_cast<milliseconds>(before_.time_since_epoch()).count() - 1000;
        const long long latest = duration_cast<milliseconds>(after_.time_since_epoch()).count();
        for (std::size_t i = 0; i < times.size(); ++i) {
            if (style == "1" || style == "2") {
                EXPECT_GE(times[i], earliest);
                EXPECT_LE(times[i], latest);
                if (i > 0) {
                    EXPECT_GE(times[i], times[i - 1]);
                }
            } else if (i > 0) {
                // Lines 20 ms apart, which a loaded machine may shorten
                // (a reading can come late): the time since the start
                // grows, the time since the previous line is never nil.
                if (style == "3") {
                    EXPECT_GT(times[i], times[i - 1]);
                } else {
                    EXPECT_GT(times[i], 0);
                }
            }
        }
    }

    std::optional<std::string> savedZone_;
};

TEST_P(StampTest, TextLinesEachBeginWithTheirStamp) {
    std::vector<std::string> lines =
        splitAfterLineFeeds(capture({"-d", GetParam().style}, kTextLines));
    ASSERT_EQ(lines.size(), 3u);
    checkTimes(stampsOf(lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"first line\r\r\n", "second\r\n", "last, unended"}));
}

TEST_P(StampTest, HexLinesEachBeginWithTheirStamp) {
    std::vector<std::string> lines =
        splitAfterLineFeeds(capture({"-m", "2", "-d", GetParam().style}, kHexParts));
    ASSERT_EQ(lines.size(), 3u);
    checkTimes(stampsOf(lines));
    EXPECT_EQ(lines, kHexLines);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, StampTest,
    testing::Values(
        StampCase{"LocalTime", "1", R"(\[(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.(\d{3})\] )"},
        StampCase{"Utc", "2", R"(\[(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})Z\] )"},
        StampCase{"SinceStart", "3", R"(\[ {0,3}(\d{1,4}|\d{5,})\.(\d{6})\] )"},
        StampCase{"SincePrevious", "4", R"(\[\+(\d+)\.(\d{6})\] )"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace serialtap::test

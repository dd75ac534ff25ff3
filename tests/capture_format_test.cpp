#include "capture/capture_format.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace serialtap {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kSecond = 1000000000;
// 2026-12-08 16:42:19.123456789 UTC.
constexpr std::int64_t kWall = 1796748139 * kSecond + 123456789;

class MemorySink : public FormattedOutput {
public:
    void writeOut(const std::uint8_t* bytes, std::size_t count) override {
        writeOuts.push_back(count);
        text.append(bytes, bytes + count);
    }
    std::vector<std::size_t> writeOuts;
    std::string text;
};

// One hour east of UTC, whatever the machine's own zone.
bool oneHourEast(std::int64_t unixSeconds, CalendarTime& local) {
    local = utcCalendarTime(unixSeconds + 3600);
    return true;
}

ClockReading at(std::int64_t monotonicNs, std::int64_t wallNs = kWall) {
    return {monotonicNs, wallNs};
}

struct Capture {
    explicit Capture(CaptureFormat format, TimeStamps stamps = TimeStamps::None)
        : formatter(format, stamps, sink, oneHourEast) {}
    Capture& add(const std::string& bytes, const ClockReading& receivedAt = {}) {
        formatter.add(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                      receivedAt);
        return *this;
    }
    const std::string& flushed() {
        formatter.flush();
        return sink.text;
    }
    MemorySink sink;
    CaptureFormatter formatter;
};

TEST(TextStamps, GoBeforeTheFirstByteOfEachLineAndNowhereElse) {
    Capture capture(CaptureFormat::Text, TimeStamps::SinceStart);
    capture.formatter.begin(at(0));
    capture.add("ab", at(1 * kSecond)).add("c\nd", at(2 * kSecond)).add("e\n", at(3 * kSecond));
    capture.add("", at(4 * kSecond)).add("\n", at(5 * kSecond)).add("\rf\n", at(6 * kSecond));
    EXPECT_EQ(capture.flushed(),
              "[   1.000000] abc\r\n[   2.000000] de\r\n[   5.000000] \r\n"
              "[   6.000000] \rf\r\n");
}

TEST(TextStamps, ALineThatEndsAtAPassOrBufferBoundaryStampsTheNextByte) {
    Capture capture(CaptureFormat::Text, TimeStamps::SinceStart);
    capture.formatter.begin(at(0));
    // The stamp is 14 bytes: this line fills the buffer exactly.
    const std::string line = std::string(CaptureFormatter::kBufferBytes - 14 - 2, 'x') + "\n";
    capture.add(line, at(0));
    EXPECT_TRUE(capture.sink.text.empty()) << "a full buffer waits for the next byte";
    capture.add("y", at(kSecond));
    ASSERT_EQ(capture.sink.writeOuts, std::vector<std::size_t>{CaptureFormatter::kBufferBytes});
    EXPECT_EQ(capture.flushed().substr(CaptureFormatter::kBufferBytes - 2), "\r\n[   1.000000] y");
    // And a line that ends right after a flush.
    capture.add("\n", at(2 * kSecond));
    capture.flushed();
    capture.add("z", at(3 * kSecond));
    EXPECT_EQ(capture.flushed().substr(CaptureFormatter::kBufferBytes - 2),
              "\r\n[   1.000000] y\r\n[   3.000000] z");
}

TEST(TextStamps, EachStyleHasItsShape) {
    struct Case {
        TimeStamps stamps;
        std::vector<ClockReading> lines;
        std::string stored;
    } cases[] = {
        {TimeStamps::LocalTime,
         {at(0, kWall), at(0, kWall + 877 * std::int64_t{1000000})},
         "[2026-12-08 17:42:19.123] a\r\n[2026-12-08 17:42:20.000] a\r\n"},
        {TimeStamps::Utc,
         {at(0, kWall), at(0, 1709251199 * kSecond + 999999999), at(0, -1)},
         "[2026-12-08T16:42:19.123Z] a\r\n[2024-02-29T23:59:59.999Z] a\r\n"
         "[1969-12-31T23:59:59.999Z] a\r\n"},
        {TimeStamps::SinceStart,
         {at(5 * kSecond + 12345678), at(17 * kSecond + 345678912), at(12350 * kSecond + 1000),
          at(4 * kSecond)},
         "[   0.012345] a\r\n[  12.345678] a\r\n[12345.000001] a\r\n[   0.000000] a\r\n"},
        {TimeStamps::SincePrevious,
         {at(5 * kSecond + 500000000), at(5 * kSecond + 512345000), at(17 * kSecond + 512345999)},
         "[+0.500000] a\r\n[+0.012345] a\r\n[+12.000000] a\r\n"},
    };
    for (const Case& c : cases) {
        Capture capture(CaptureFormat::Text, c.stamps);
        capture.formatter.begin(at(5 * kSecond));
        for (const ClockReading& line : c.lines) capture.add("a\n", line);
        EXPECT_EQ(capture.flushed(), c.stored) << static_cast<int>(c.stamps);
    }
}

TEST(TextStamps, RelativeStampsCountFromTheFirstByteWithoutABeginning) {
    Capture capture(CaptureFormat::Text, TimeStamps::SincePrevious);
    capture.add("a\n", at(7 * kSecond)).add("b", at(8 * kSecond));
    EXPECT_EQ(capture.flushed(), "[+0.000000] a\r\n[+1.000000] b");
}

TEST(UtcCalendar, WorksOutDatesAcrossCenturiesAndLeapDays) {
    struct Case {
        std::int64_t seconds;
        int year, month, day, hour, minute, second;
    } cases[] = {
        {0, 1970, 1, 1, 0, 0, 0},
        {951782400, 2000, 2, 29, 0, 0, 0},
        {4107542400, 2100, 3, 1, 0, 0, 0},
        {-86401, 1969, 12, 30, 23, 59, 59},
        {253402300799, 9999, 12, 31, 23, 59, 59},
    };
    for (const Case& c : cases) {
        CalendarTime t = utcCalendarTime(c.seconds);
        EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second}),
                  (std::vector<int>{c.year, c.month, c.day, c.hour, c.minute, c.second}))
            << c.seconds;
    }
}

std::string sixteenAndMore() {
    std::string bytes = "0123456789abcdef";
    bytes += std::string("\x00\x1f \x7e\x7f\x80\xff", 7) + "0123456789ABC";
    return bytes;
}

TEST(HexDump, SixteenBytesALineAndAShortLastLineLinedUp) {
    const std::string bytes = sixteenAndMore();
    // Any split into passes gives the same lines.
    for (std::size_t pass : {std::size_t{1}, std::size_t{7}, std::size_t{16}, bytes.size()}) {
        Capture capture(CaptureFormat::Hex);
        for (std::size_t i = 0; i < bytes.size(); i += pass) capture.add(bytes.substr(i, pass));
        EXPECT_EQ(
            capture.flushed(),
            "00000000  30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  |0123456789abcdef|\r\n"
            "00000010  00 1F 20 7E 7F 80 FF 30 31 32 33 34 35 36 37 38  |.. ~...012345678|\r\n"
            "00000020  39 41 42 43                                      |9ABC|\r\n")
            << "passes of " << pass;
    }
    Capture exact(CaptureFormat::Hex);
    exact.add(bytes.substr(0, 32));
    EXPECT_EQ(exact.flushed().size(), 2 * 79u) << "two full lines and no empty third";
}

TEST(HexDump, AFlushWritesTheShortLineAndOffsetsStayTrue) {
    Capture capture(CaptureFormat::Hex, TimeStamps::SinceStart);
    capture.formatter.begin(at(0));
    capture.add("abc", at(1 * kSecond)).add("de", at(2 * kSecond));
    EXPECT_EQ(
        capture.flushed(),
        "[   1.000000] 00000000  61 62 63 64 65                                   |abcde|\r\n");
    // The next line's stamp is its first byte's, though it ends later.
    capture.add("fghijklmnopqrst", at(3 * kSecond)).add("uv", at(4 * kSecond));
    EXPECT_EQ(capture.flushed().substr(82),
              "[   3.000000] 00000005  66 67 68 69 6A 6B 6C 6D 6E 6F 70 71 72 73 74 75  "
              "|fghijklmnopqrstu|\r\n"
              "[   4.000000] 00000015  76                                               "
              "|v|\r\n");
}

// An event line ends a line in progress and leaves the data lines as they
// would be without it: in hex the offsets go on, in text the bytes before
// and after are those received, and a buffer of received bytes still
// counts only those as written out.
TEST(EventLines, StandBetweenTheBytesAndLeaveTheDataLinesAlone) {
    Capture hex(CaptureFormat::Hex);
    hex.add("0123456789abcdefgh");
    hex.formatter.addEvent(0, "break", {});
    hex.add("ij");
    EXPECT_EQ(hex.flushed(),
              "00000000  30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  |0123456789abcdef|\r\n"
              "00000010  67 68                                            |gh|\r\n"
              "--- serialtap: break\n"
              "00000012  69 6A                                            |ij|\r\n");

    Capture text(CaptureFormat::Text);
    text.formatter.expectEvents();
    text.add("one\ntw");
    text.formatter.addEvent(0, "port lost", {});
    text.formatter.addEvent(0, "port back after 1.0 s", {});
    text.add("o\n");
    // The line ended for the events is no received byte.
    EXPECT_EQ(text.formatter.bytesWrittenOut(), 6u);
    EXPECT_EQ(text.flushed(),
              "one\r\ntw\r\n--- serialtap: port lost\n--- serialtap: port back after 1.0 "
              "s\no\r\n");
    EXPECT_EQ(text.formatter.bytesWrittenOut(), 8u);

    Capture stamped(CaptureFormat::Text, TimeStamps::SinceStart);
    stamped.formatter.begin(at(0));
    stamped.add("a", at(kSecond));
    stamped.formatter.addEvent(0, "break", at(2 * kSecond));
    stamped.add("b", at(3 * kSecond));
    EXPECT_EQ(stamped.flushed(),
              "[   1.000000] a\r\n[   2.000000] --- serialtap: break\n[   3.000000] b");
}

TEST(EveryFormat, TheLastByteOfACaptureIsWritten) {
    const std::string bytes = std::string(CaptureFormatter::kBufferBytes, 'z') + "!";
    Capture text(CaptureFormat::Text);
    EXPECT_EQ(text.add(bytes).flushed(), bytes);
    Capture stamped(CaptureFormat::Text, TimeStamps::Utc);
    EXPECT_EQ(stamped.add(bytes, at(0)).flushed(), "[2026-12-08T16:42:19.123Z] " + bytes);
    Capture raw(CaptureFormat::Raw);
    EXPECT_EQ(raw.add(bytes).flushed(), bytes);
    Capture hex(CaptureFormat::Hex);
    const std::string& dump = hex.add(bytes).flushed();
    EXPECT_EQ(dump.size(), 257 * 79u - 15);
    EXPECT_EQ(dump.substr(std::size_t{256} * 79),
              "00001000  21                                               |!|\r\n");
}

TEST(RawFormat, EveryByteValueIsStoredExactlyInAnySplit) {
    std::string all(256, '\0');
    std::iota(all.begin(), all.end(), '\0');
    all += all;
    for (std::size_t pass = 1; pass <= 256; pass += 17) {
        // Stamps asked for raw bytes are left out: raw has no lines.
        Capture capture(CaptureFormat::Raw, TimeStamps::Utc);
        for (std::size_t i = 0; i < all.size(); i += pass) capture.add(all.substr(i, pass), at(0));
        EXPECT_EQ(capture.flushed(), all) << "passes of " << pass;
    }
}

TEST(Buffer, FormattedBytesGoOutInFullBuffersOnlyWhenMoreArrive) {
    for (CaptureFormat format : {CaptureFormat::Text, CaptureFormat::Hex}) {
        Capture capture(format, TimeStamps::SincePrevious);
        const std::string line = "a line of text that a device sent\r\n";
        for (int i = 0; i < 1000; ++i) capture.add(line, at(i));
        ASSERT_FALSE(capture.sink.writeOuts.empty());
        for (std::size_t size : capture.sink.writeOuts) {
            EXPECT_EQ(size, CaptureFormatter::kBufferBytes);
        }
        const std::size_t written = capture.sink.text.size();
        EXPECT_GT(capture.flushed().size(), written) << "the rest waits for the flush";
    }
}

TEST(Buffer, TextWithoutStampsWritesOutFourKibibytesOfReceivedBytes) {
    Capture capture(CaptureFormat::Text);
    const std::string lineFeeds(CaptureFormatter::kBufferBytes, '\n');
    capture.add(lineFeeds);
    EXPECT_TRUE(capture.sink.text.empty());
    capture.add("x");
    EXPECT_EQ(capture.sink.writeOuts, std::vector<std::size_t>{2 * CaptureFormatter::kBufferBytes});
}

// Rounds of passes from two ports, as a capture of several reads them: the
// gathered capture writes what the plain one writes, in fewer and larger
// write-outs, and holds back the same bytes between rounds.
TEST(Buffer, GatheredWriteOutsGoOutTogetherAndHoldBackNoMore) {
    Capture plain(CaptureFormat::Hex, TimeStamps::SinceStart);
    Capture gathered(CaptureFormat::Hex, TimeStamps::SinceStart);
    for (Capture* capture : {&plain, &gathered}) capture->formatter.setSources({"a", "b"});
    std::string bytes(255, '\0');
    std::iota(bytes.begin(), bytes.end(), '\0');
    // Some rounds read nothing, some more than the gathering room holds.
    for (int round = 0; round < 40; ++round) {
        gathered.formatter.gatherWriteOuts();
        for (int pass = 0; pass < round * 37 % 130; ++pass) {
            for (std::size_t port : {0, 1}) {
                for (Capture* capture : {&plain, &gathered}) {
                    capture->formatter.addFrom(port,
                                               reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                               bytes.size() - pass % 7, at(round));
                }
            }
        }
        // Until they are written, gathered write-outs count as held.
        const bool behind = gathered.sink.text.size() < plain.sink.text.size();
        ASSERT_EQ(behind, gathered.formatter.bytesWrittenOut() < plain.formatter.bytesWrittenOut())
            << "round " << round;
        ASSERT_TRUE(!behind || gathered.formatter.holdsBytes());
        gathered.formatter.writeGathered();
        ASSERT_EQ(gathered.sink.text.size(), plain.sink.text.size()) << "round " << round;
        ASSERT_EQ(gathered.formatter.bytesWrittenOut(), plain.formatter.bytesWrittenOut());
    }
    EXPECT_EQ(gathered.sink.text, plain.sink.text);
    EXPECT_LT(gathered.sink.writeOuts.size() * 8, plain.sink.writeOuts.size());
    for (std::size_t size : gathered.sink.writeOuts) {
        EXPECT_LE(size, CaptureFormatter::kGatherBytes);
    }
    // A flush while gathering writes everything.
    gathered.formatter.gatherWriteOuts();
    gathered.add("end");
    plain.add("end");
    EXPECT_EQ(gathered.flushed(), plain.flushed());
}

}  // namespace
}  // namespace serialtap

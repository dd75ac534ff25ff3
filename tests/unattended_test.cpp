// The pieces of an unattended capture on their own: the text search over
// split input, the stop conditions' verdicts, the write-out timer, and the
// reconnect's and the pass's handling of a port that goes away.

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "app/reconnect.h"
#include "app/stop_conditions.h"
#include "app/text_matcher.h"
#include "app/write_out_timer.h"
#include "capture/capture_file.h"
#include "port/serial_port.h"
#include "tests/fake_serial_device.h"
#include "tests/test_files.h"

namespace serialtap {
namespace {

using namespace std::chrono_literals;
using testing::FakeSerialDevice;

const std::uint8_t* bytesOf(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Every way of cutting the input in two, and byte by byte, finds the text
// where a search of the whole input does.
TEST(TextMatcher, FindsTheTextHoweverTheInputIsSplit) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"login:", "Debian login: "},
        {"abab", "abaabab"},                                      // a partial match that falls back
        {"aab", "aaaab"},                                         // a repeated first byte
        {std::string("\0\xff", 2), std::string("x\0\0\xff", 4)},  // any byte value
        {"panic", "no such thing"},
    };
    for (const auto& [text, input] : cases) {
        std::size_t expected = input.find(text);
        std::size_t end = expected == std::string::npos ? 0 : expected + text.size();
        for (std::size_t cut = 0; cut <= input.size(); ++cut) {
            TextMatcher matcher(text);
            std::optional<std::size_t> first = matcher.feed(bytesOf(input), cut);
            std::optional<std::size_t> second =
                first ? std::nullopt : matcher.feed(bytesOf(input) + cut, input.size() - cut);
            std::size_t found = first ? *first : second ? cut + *second : 0;
            EXPECT_EQ(end, found) << "\"" << text << "\" in \"" << input << "\" cut at " << cut;
        }
        TextMatcher oneByOne(text);
        std::size_t found = 0;
        for (std::size_t i = 0; i < input.size() && found == 0; ++i) {
            if (oneByOne.feed(bytesOf(input) + i, 1)) found = i + 1;
        }
        EXPECT_EQ(end, found) << "\"" << text << "\" byte by byte";
    }
}

CaptureOptions withTexts(std::uint32_t seconds, const char* end, const char* fail) {
    CaptureOptions options;
    options.stopAfterSeconds = seconds;
    if (end != nullptr) options.endText = end;
    if (fail != nullptr) options.failText = fail;
    return options;
}

int statusAfter(const CaptureOptions& options, const std::string& received, bool timeUp) {
    Clock::time_point start{};
    StopConditions stops(options, start);
    stops.received(bytesOf(received), received.size());
    if (timeUp) stops.timeIsUp(start + 1h);
    return stops.exitStatus();
}

TEST(StopConditions, TheTextThatArrivesFirstDecides) {
    EXPECT_EQ(0, statusAfter(withTexts(0, "login:", "panic"), "login: panic", false));
    EXPECT_EQ(2, statusAfter(withTexts(0, "login:", "panic"), "panic login:", false));
    // Completed by the same byte: the failure is not missed.
    EXPECT_EQ(2, statusAfter(withTexts(0, "c", "abc"), "abc", false));
    EXPECT_EQ(3, statusAfter(withTexts(5, "login:", nullptr), "no prompt", true));
    EXPECT_EQ(0, statusAfter(withTexts(5, nullptr, "panic"), "quiet", true));
    // The text came in time; the clock running out later changes nothing.
    EXPECT_EQ(0, statusAfter(withTexts(5, "login:", nullptr), "login:", true));
}

TEST(StopConditions, WaitsForTheEarlierTimer) {
    CaptureOptions options;
    options.stopAfterSeconds = 10;
    options.idleSeconds = 3;
    Clock::time_point start{};
    StopConditions stops(options, start);
    EXPECT_EQ(start + 3s, stops.nextDeadline());
    stops.heardAt(start + 8s);
    EXPECT_EQ(start + 10s, stops.nextDeadline());
    EXPECT_FALSE(stops.timeIsUp(start + 9s));
    EXPECT_TRUE(stops.timeIsUp(start + 10s));
    EXPECT_FALSE(StopConditions(CaptureOptions{}, start).nextDeadline());
}

// Bytes that fill the buffer are written out whole; only the rest waits
// for the timer, counted from when it arrived.
TEST(WriteOutTimer, CountsFromTheOldestHeldByte) {
    testing::TempPath path("capture.txt");
    CaptureFile file;
    ASSERT_TRUE(file.open(path.path()));
    WriteOutTimer timer(200);
    Clock::time_point start{};
    auto store = [&](std::size_t count, Clock::time_point now) {
        std::string bytes(count, 'x');
        file.writeBytes(bytesOf(bytes), count);
        timer.stored(file, now);
    };
    EXPECT_FALSE(timer.deadline());
    store(100, start);
    store(100, start + 150ms);
    EXPECT_EQ(start + 200ms, timer.deadline());
    store(CaptureFile::kBufferBytes, start + 180ms);  // fills the buffer, 200 left over
    EXPECT_EQ(start + 380ms, timer.deadline());
    timer.writeOutIfDue(file, start + 379ms);
    EXPECT_EQ(testing::readFileBytes(path.path()).size(), CaptureFile::kBufferBytes);
    timer.writeOutIfDue(file, start + 380ms);
    EXPECT_EQ(testing::readFileBytes(path.path()).size(), CaptureFile::kBufferBytes + 200);
    EXPECT_FALSE(timer.deadline());
    EXPECT_TRUE(file.close());
}

// A hex line whose first half came long ago is split by the write-out that
// its second half causes: what is left of it is as old as its first half.
TEST(WriteOutTimer, CountsAHexLineSplitByAWriteOutFromItsFirstByte) {
    testing::TempPath path("capture.txt");
    CaptureFile file(CaptureFormat::Hex);
    ASSERT_TRUE(file.open(path.path()));
    WriteOutTimer timer(1000);
    Clock::time_point start{};
    // 51 lines of 79 bytes and half a line; the 52nd line crosses 4096 bytes.
    std::string bytes(51 * 16 + 8, 'x');
    file.writeBytes(bytesOf(bytes), bytes.size());
    timer.stored(file, start);
    file.writeBytes(bytesOf(bytes), 8);
    timer.stored(file, start + 900ms);
    ASSERT_EQ(testing::readFileBytes(path.path()).size(), CaptureFile::kBufferBytes);
    EXPECT_EQ(start + 1000ms, timer.deadline());
    EXPECT_TRUE(file.close());
}

// A file that tells when and how much was written and synced.
class SyncCountingSink final : public CaptureSink {
public:
    explicit SyncCountingSink(Clock::time_point& now) : now_(now) {}
    std::vector<std::size_t> writes;
    std::vector<Clock::time_point> syncs;
    Clock::time_point oldestUnsynced{};
    bool unsynced = false;
    Clock::duration longestWait{};

    bool open(const std::string&, bool) override { return open_ = true; }
    bool isOpen() const override { return open_; }
    SinkWrite write(const std::uint8_t*, std::size_t size) override {
        writes.push_back(size);
        if (!unsynced) oldestUnsynced = now_;
        unsynced = true;
        return SinkWrite{size, false, 0};
    }
    bool sync() override {
        syncs.push_back(now_);
        if (unsynced) longestWait = std::max(longestWait, now_ - oldestUnsynced);
        unsynced = false;
        return true;
    }
    void waitWritable(int) override {}
    bool removed() override { return false; }
    bool close() override { return !(open_ = false); }
    int errorCode() const override { return 0; }
    std::intptr_t handle() const override { return 3; }
    int wouldBlockCode() const override { return 11; }
    bool readerGone(int) const override { return false; }

private:
    Clock::time_point& now_;
    bool open_ = false;
};

// A durable flood: written out 4096 bytes at a time as ever, synced once
// per period rather than at every write-out, and no written byte waits
// longer than the period for its sync.
TEST(WriteOutTimer, SyncsAFloodOncePerPeriod) {
    Clock::time_point now{};
    auto owned = std::make_unique<SyncCountingSink>(now);
    SyncCountingSink& sink = *owned;
    CaptureFile file(std::move(owned));
    ASSERT_TRUE(file.open("durable"));
    file.makeDurable(false);
    WriteOutTimer timer(200);
    const std::string bytes(1000, 'x');
    for (int tick = 0; tick < 1000; ++tick) {
        file.writeBytes(bytesOf(bytes), bytes.size());
        timer.stored(file, now);
        ASSERT_TRUE(timer.deadline());
        timer.writeOutIfDue(file, now);
        now += std::chrono::milliseconds(1);
    }
    EXPECT_GE(sink.writes.size(), 240u);
    for (std::size_t size : sink.writes) EXPECT_EQ(CaptureFile::kBufferBytes, size);
    EXPECT_GE(sink.syncs.size(), 4u);
    EXPECT_LE(sink.syncs.size(), 6u);
    EXPECT_LE(sink.longestWait, 200ms);
    EXPECT_TRUE(file.close());
    EXPECT_FALSE(sink.unsynced) << "the close syncs what is left";
}

class PortAway : public ::testing::Test {
protected:
    PortAway() {
        device_.goneCodes = {EIO, ENOENT};
        EXPECT_TRUE(port_.open(settings_));
    }
    ~PortAway() override { std::fclose(messages_); }
    std::string messages() { return testing::streamText(messages_); }
    std::size_t opens() const {
        std::size_t count = 0;
        for (const std::string& call : device_.calls) count += call.rfind("open ", 0) == 0;
        return count;
    }

    FakeSerialDevice device_;
    std::FILE* messages_ = std::tmpfile();
    SerialPort port_{device_, messages_};
    PortSettings settings_{};
};

TEST_F(PortAway, APassThatFailsAsAnUnpluggedPortSaysSo) {
    device_.waits.push_back({EventWait::Failed, 0, EBUSY, false});
    device_.waits.push_back({EventWait::Failed, 0, EBUSY, false});
    device_.waits.push_back({EventWait::Failed, 0, EIO, false});
    EXPECT_FALSE(port_.receive().gone);
    EXPECT_FALSE(port_.receive().gone);
    // A pass in the pause after repeated failures does nothing.
    std::size_t callsBefore = device_.calls.size();
    EXPECT_FALSE(port_.receive().gone);
    EXPECT_EQ(device_.calls.size(), callsBefore);
    std::this_thread::sleep_for(SerialPort::kFailurePauseMs * 1ms);
    EXPECT_TRUE(port_.receive().gone);
    EXPECT_EQ(messages(), "Error for Waiting Comm Event: 16\nError for Waiting Comm Event: 5\n");
}

TEST_F(PortAway, TriesOnceASecondAndReportsAnOtherFailureOncePerChange) {
    Reconnect reconnect(port_, settings_, messages_, true);
    Clock::time_point lost{};
    reconnect.lose(lost);
    EXPECT_EQ(device_.calls.end()[-2], "closePort");
    EXPECT_EQ(device_.calls.back(), "closeEvent");
    std::size_t opensBefore = opens();

    // When the next try is due: a second after the last one ended.
    auto nextTry = [&reconnect] {
        WaitSet set;
        reconnect.addSources(set, 0);
        return set.deadline();
    };
    auto tryAt = [&reconnect](Clock::time_point when) {
        return reconnect.advance(WaitSet{}, when);
    };
    device_.failCall("open", ENOENT);  // not there: quiet
    EXPECT_EQ(nextTry(), lost + std::chrono::seconds(1));
    EXPECT_FALSE(tryAt(lost + 999ms));
    EXPECT_EQ(opens(), opensBefore);
    EXPECT_FALSE(tryAt(lost + std::chrono::seconds(1)));
    Clock::time_point ended = Clock::now();
    ASSERT_TRUE(nextTry().has_value());
    EXPECT_GE(*nextTry(), ended + std::chrono::milliseconds(950));
    EXPECT_LE(*nextTry(), ended + std::chrono::seconds(1));
    EXPECT_FALSE(tryAt(ended + std::chrono::milliseconds(949))) << "the next try came early";
    device_.failCall("open", EBUSY);  // in use: reported once
    EXPECT_FALSE(tryAt(*nextTry()));
    EXPECT_FALSE(tryAt(*nextTry()));
    device_.failCall("open", EACCES);
    EXPECT_FALSE(tryAt(*nextTry()));
    EXPECT_EQ(opens() - opensBefore, 4u);
    EXPECT_TRUE(reconnect.away());

    device_.succeedCall("open");
    EXPECT_TRUE(tryAt(*nextTry()));
    EXPECT_FALSE(reconnect.away());
    EXPECT_FALSE(nextTry());
    EXPECT_EQ(messages(),
              "could not open serial port: 16\ncould not open serial port: 13\n"
              "serial port reopened\n");
}

}  // namespace
}  // namespace serialtap

#include "app/capture_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/fake_serial_device.h"
#include "tests/test_files.h"

namespace serialtap {
namespace {

using testing::FakeSerialDevice;
using Bytes = std::vector<std::uint8_t>;

class FakeConsole : public Console {
public:
    std::deque<int> keys;
    int tests = 0;
    int reads = 0;
    bool gone = false;

    bool keyWaiting() override {
        ++tests;
        return !keys.empty();
    }
    int readKey() override {
        ++reads;
        int key = keys.front();
        keys.pop_front();
        return key;
    }
    std::optional<NativeHandle> wakeHandle() const override {
        if (gone) return std::nullopt;
        return 11;
    }
};

class FakeStop : public StopSignal {
public:
    bool stop = false;
    bool requested() override { return stop; }
    NativeHandle wakeHandle() const override { return 12; }
};

class CaptureRun : public ::testing::Test {
protected:
    CaptureRun() {
        // A run whose script is over stops, so a failing test cannot hang.
        device_.onScriptEnd = [this] { stop_.stop = true; };
    }
    ~CaptureRun() override { std::fclose(messages_); }

    int run(const std::string& fileName) {
        return runCaptureWith(fileName, PortSettings{}, parts());
    }
    // The parts of a capture over the fakes, whose wait is the fake device's.
    CaptureParts parts(Console* console, CaptureOptions options = {}, CaptureView* view = nullptr) {
        CaptureParts made{device_, console, &stop_, messages_, std::move(options), view};
        made.wait = [this](WaitSet& set, int& error) { return device_.wait(set, error); };
        return made;
    }
    CaptureParts parts(CaptureOptions options = {}, CaptureView* view = nullptr) {
        return parts(&console_, std::move(options), view);
    }
    int run() { return run(file_.path()); }
    // A raw capture with line events, its clock at 1970; what it said on
    // standard error.
    std::string runRawWithEvents() {
        CaptureParts raw = parts();
        raw.options.lineEvents = true;
        raw.options.format = CaptureFormat::Raw;
        raw.clock = [] { return ClockReading{}; };
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(runCaptureWith(file_.path(), PortSettings{}, raw), 0);
        return ::testing::internal::GetCapturedStderr();
    }
    std::string messages() { return testing::streamText(messages_); }
    Bytes captured() { return testing::readFileBytes(file_.path()); }

    FakeSerialDevice device_;
    FakeConsole console_;
    FakeStop stop_;
    std::FILE* messages_ = std::tmpfile();
    testing::TempPath file_{"capture.txt"};
};

TEST_F(CaptureRun, RecordsEveryPassUntilQAndShutsDownInOrder) {
    device_.queueBytes({'o', 'n', 'e', '\r', '\n'});
    device_.queueBytes({'t', 'w', 'o', '\n'}, true);
    console_.keys = {'q'};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(captured(), (Bytes{'o', 'n', 'e', '\r', '\r', '\n', 't', 'w', 'o', '\r', '\n'}));
    EXPECT_FALSE(stop_.stop) << "q ended the loop before the script did";
    EXPECT_EQ(std::vector<std::string>(device_.calls.end() - 2, device_.calls.end()),
              (std::vector<std::string>{"closePort", "closeEvent"}));
    EXPECT_EQ(messages(), "");
}

TEST_F(CaptureRun, WaitsForTheConsoleAndTheStopSignalWithThePort) {
    device_.waits.push_back({EventWait::Nothing, 0, 0, true});
    console_.keys = {'q'};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(device_.wakeHandles, (std::vector<NativeHandle>{11, 12}));
}

TEST_F(CaptureRun, OnlyLowerCaseQEndsTheCaptureOneKeyPerPass) {
    for (int i = 0; i < 5; ++i) device_.queueBytes({'.'}, true);
    console_.keys = {'Q', 'x', 'q', 'z'};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(console_.reads, 3);
    EXPECT_EQ(captured(), (Bytes{'.', '.', '.'}));
}

TEST_F(CaptureRun, SecondCodeOfAnExtendedKeyIsComparedToo) {
    for (int i = 0; i < 3; ++i) device_.queueBytes({'.'}, true);
    console_.keys = {0x00, 0x71};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(console_.reads, 2);
}

TEST_F(CaptureRun, PendingEventWaitLeavesTheKeyboardAlone) {
    device_.waits.push_back({EventWait::Failed, 0, kErrorIoPending, true});
    device_.queueBytes({'a'}, true);
    console_.keys = {'q'};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(console_.tests, 1);
    EXPECT_EQ(captured(), Bytes{'a'});
}

TEST_F(CaptureRun, PassesWithoutWakeUpSkipTheKeyboard) {
    device_.queueBytes({'a'});
    device_.queueBytes({'b'});
    device_.queueBytes({'c'}, true);
    console_.keys = {'q'};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(console_.tests, 1);
    EXPECT_EQ(captured(), (Bytes{'a', 'b', 'c'}));
}

TEST_F(CaptureRun, StopRequestEndsThroughTheNormalShutdown) {
    device_.queueBytes({'k', 'e', 'p', 't'});
    // The script's end raises the stop request.
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(stop_.stop);
    EXPECT_EQ(captured(), (Bytes{'k', 'e', 'p', 't'}));
    EXPECT_EQ(device_.calls.back(), "closeEvent");
}

TEST_F(CaptureRun, ConsoleThatGoesAwayLeavesTheWaitSet) {
    device_.waits.push_back({EventWait::Nothing, 0, 0, true});
    device_.waits.push_back({EventWait::Nothing, 0, 0, true});
    device_.onScriptEnd = [this] {
        EXPECT_EQ(device_.wakeHandles, std::vector<NativeHandle>{12});
        stop_.stop = true;
    };
    console_.gone = true;
    EXPECT_EQ(run(), 0);
}

TEST_F(CaptureRun, BytesThePortHadTakenInAreKeptAtTheEnd) {
    device_.queueBytes({'a'}, true);
    console_.keys = {'q'};
    Bytes rest(600);
    for (std::size_t i = 0; i < rest.size(); ++i) rest[i] = static_cast<std::uint8_t>(i);
    device_.buffered = rest;
    EXPECT_EQ(run(), 0);
    rest.insert(rest.begin(), 'a');
    EXPECT_EQ(captured(), testing::expandLineEnds(rest));
}

TEST_F(CaptureRun, FailedClosesAreReportedAndTheRestStillClosed) {
    device_.queueBytes({'x'});
    device_.failCall("closePort", 6);
    device_.failCall("closeEvent", 7);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(messages(),
              "Port  Closing isn't successed: 6\n"
              "Event Closing isn't successed: 7\n");
    EXPECT_EQ(captured(), Bytes{'x'});
}

TEST_F(CaptureRun, PortSetupFailureLeavesAnEmptiedCaptureFile) {
    std::ofstream(file_.path()) << "old capture";
    device_.failCall("purge", 5);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(messages(), "error purge comm: 5\n");
    EXPECT_TRUE(testing::fileExists(file_.path()));
    EXPECT_TRUE(captured().empty());
}

TEST_F(CaptureRun, CaptureFileThatCannotBeCreatedStopsBeforeThePort) {
    EXPECT_EQ(run(file_.path() + "/not-a-folder/capture.txt"), 1);
    EXPECT_EQ(messages().rfind("could not open capture file: ", 0), 0u) << messages();
    EXPECT_EQ(messages().back(), '\n');
    EXPECT_TRUE(device_.calls.empty());
}

TEST_F(CaptureRun, FailedCaptureWritesGiveExitStatusOne) {
    if (!testing::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    device_.queueBytes(Bytes(255, 'x'));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run("/dev/full"), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error: Can't write the file: 28\n"
              "Error: 255 bytes were not written to the file\n"
              "Error: Can't close the file\n");
}

// The port is closed as soon as it is found gone, keeping what it had
// taken in, and not closed again at the end; the wait goes on for the
// console and the stop request alone.
TEST_F(CaptureRun, PortThatIsGoneIsClosedAtOnceAndNotAgain) {
    device_.goneCodes = {5};
    device_.queueBytes({'a'});
    device_.waits.push_back({EventWait::Failed, 0, 5, false});
    device_.buffered = {'b'};
    device_.wakeWaits = {true};
    stop_.stop = true;  // seen at the first wake-up, which comes while the port is away
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(captured(), (Bytes{'a', 'b'}));
    EXPECT_EQ(messages(), "Error for Waiting Comm Event: 5\n");
    auto closes = std::find(device_.calls.begin(), device_.calls.end(), "closePort");
    ASSERT_NE(closes, device_.calls.end());
    EXPECT_EQ(std::vector<std::string>(closes, device_.calls.end() - 1),
              (std::vector<std::string>{"closePort", "closeEvent"}));
    // Until the first try to open it again, a second later.
    EXPECT_EQ(device_.calls.back().rfind("wait ", 0), 0u) << device_.calls.back();
    EXPECT_EQ(device_.wakeHandles, (std::vector<NativeHandle>{11, 12}));
}

// Said once, and never tried again: the wait has no limit and no open follows.
TEST_F(CaptureRun, PortThatCannotComeBackUnderItsNameIsNotReopened) {
    device_.goneCodes = {5};
    device_.comesBack = false;
    device_.waits.push_back({EventWait::Failed, 0, 5, false});
    device_.wakeWaits = {false, true};
    stop_.stop = true;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(messages(),
              "Error for Waiting Comm Event: 5\n"
              "serial port not reopened: a pseudo-terminal that hung up does not come back\n");
    EXPECT_EQ(std::count(device_.calls.begin(), device_.calls.end(), "open COM1"), 1);
    EXPECT_EQ(std::count(device_.calls.begin(), device_.calls.end(), "wait 4294967295"), 2);
}

TEST_F(CaptureRun, ReopeningIsOffWithR0) {
    device_.goneCodes = {5};
    device_.waits.push_back({EventWait::Failed, 0, 5, false});
    CaptureOptions options;
    options.reconnect = false;
    EXPECT_EQ(runCaptureWith(file_.path(), PortSettings{}, parts(options)), 0);
    EXPECT_EQ(std::count(device_.calls.begin(), device_.calls.end(), "closePort"), 1);
    EXPECT_EQ(device_.calls.back(), "closeEvent");
}

TEST_F(CaptureRun, WithoutAConsoleOnlyAStopEndsIt) {
    device_.queueBytes({'a'}, true);
    int status = runCaptureWith(file_.path(), PortSettings{}, parts(nullptr));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(device_.wakeHandles, std::vector<NativeHandle>{12});
    EXPECT_EQ(captured(), Bytes{'a'});
}

// A clock that moves one second on every reading.
std::int64_t fakeSeconds = 0;
ClockReading tickingClock() { return {++fakeSeconds * 1000000000, 0}; }

TEST_F(CaptureRun, StampsCarryTheTimeThePassReturnedTheLinesFirstByte) {
    fakeSeconds = 0;
    device_.queueBytes({'o', 'n'});
    device_.queueBytes({'e', '\n', 't'});
    device_.queueBytes({'w', 'o', '\n'});
    CaptureParts stamped = parts();
    stamped.options.timeStamps = TimeStamps::SinceStart;
    stamped.clock = tickingClock;
    EXPECT_EQ(runCaptureWith(file_.path(), PortSettings{}, stamped), 0);
    // The capture began at the first reading; each pass with bytes took one.
    const std::string expected = "[   1.000000] one\r\n[   2.000000] two\r\n";
    EXPECT_EQ(captured(), Bytes(expected.begin(), expected.end()));
}

TEST_F(CaptureRun, FormatsWithoutStampsLeaveTheClockAlone) {
    device_.queueBytes({'h', 'i', '\n'});
    CaptureParts raw = parts();
    raw.options.format = CaptureFormat::Raw;
    raw.clock = [] {
        ADD_FAILURE() << "the clock was read";
        return ClockReading{};
    };
    EXPECT_EQ(runCaptureWith(file_.path(), PortSettings{}, raw), 0);
    EXPECT_EQ(captured(), (Bytes{'h', 'i', '\n'}));
}

TEST_F(CaptureRun, ShownBytesAreEveryReceivedByteUnchanged) {
    std::FILE* shown = std::tmpfile();
    CaptureView view(shown, false);
    device_.queueBytes({'a', '\n', 0x1b});
    device_.buffered = {'z', '\r'};
    EXPECT_EQ(runCaptureWith(file_.path(), PortSettings{}, parts({}, &view)), 0);
    EXPECT_EQ(testing::streamText(shown), std::string("a\n\x1bz\r"));
    std::fclose(shown);
}

// With -u 1 what the line did stands among the bytes where it happened; a
// mark that comes too soon after the last line is counted and said later.
TEST_F(CaptureRun, LineEventsStandAmongTheBytesAndCloseRunsAreCounted) {
    device_.lines = kLineCts | kLineDcd;
    device_.queueBytes({'a', '\n', 'b', 'c'}, true);
    device_.readMarks = {{{LineEventKind::Break, 2}, {LineEventKind::FramingError, 3}}};
    console_.keys = {'q'};
    CaptureParts events = parts();
    events.options.lineEvents = true;
    events.clock = [] { return ClockReading{}; };
    // A name no system lists, so that no adapter is named.
    PortSettings settings;
    settings.portName = "fake-port";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(runCaptureWith(file_.path(), settings, events), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "line events: 1 break, 1 byte with framing errors, 0 bytes with parity errors, "
              "0 bytes dropped, 0 modem-line changes, lost 0 times\n");
    const std::string expected =
        "--- serialtap: capture began 1970-01-01T00:00:00Z: fake-port 9600 8N1, modem lines: CTS "
        "on, "
        "DSR off, DCD on, RI off\n"
        "a\r\n--- serialtap: break\nbc\r\n--- serialtap: framing error on 1 byte\n"
        "--- serialtap: capture ended 1970-01-01T00:00:00Z: q\n";
    Bytes file = captured();
    EXPECT_EQ(std::string(file.begin(), file.end()), expected);
    EXPECT_TRUE(device_.watching);
    EXPECT_EQ(device_.maskSet, kEventRxChar | kLineEventMask);
}

// A raw capture stays the bytes exactly; its events go beside it with the
// offset where each happened. An error on every byte takes far less room
// than the bytes.
TEST_F(CaptureRun, RawEventsGoBesideTheCaptureAndAFloodStaysSmall) {
    // 8 MiB, every byte framed wrong: a mark for each at first, then one
    // for each pass's run, as a device merges them.
    Bytes all;
    for (int pass = 0; pass < 32896; ++pass) {
        Bytes bytes(255, static_cast<std::uint8_t>(pass));
        device_.queueBytes(bytes);
        device_.readMarks.emplace_back();
        for (std::size_t i = 0; i < (pass < 40 ? bytes.size() : 1); ++i) {
            device_.readMarks.back().push_back(
                {LineEventKind::FramingError, i, pass < 40 ? 1u : bytes.size()});
        }
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    device_.readMarks.front().insert(device_.readMarks.front().begin(),
                                     {LineEventKind::Dropped, 0, 7});
    device_.drops = {7, 0};
    std::string errors = runRawWithEvents();
    EXPECT_NE(errors.find("7 bytes were dropped by the system before serialtap read them\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find(" 8388480 bytes with framing errors, 0 bytes with parity errors, 7 "
                          "bytes dropped, "),
              std::string::npos)
        << errors;
    EXPECT_EQ(captured(), all);
    Bytes side = testing::readFileBytes(file_.path() + ".events");
    std::string events(side.begin(), side.end());
    // A run's line a second at most, however slow the build.
    EXPECT_LT(events.size(), 4000u) << events.substr(0, 400);
    EXPECT_NE(
        events.find("0 1970-01-01T00:00:00.000Z COM1 bytes dropped at or before this point: 7\n"),
        std::string::npos)
        << events.substr(0, 400);
    // The errors right after the drop's line make runs, whose lines
    // together name every byte; the last stands where the last error came.
    std::uint64_t named = 0;
    const std::string run = " COM1 framing error on ";
    for (std::size_t at = events.find(run); at != std::string::npos;
         at = events.find(run, at + 1)) {
        named += std::stoull(events.substr(at + run.size()));
    }
    EXPECT_EQ(named, all.size()) << events.substr(0, 400);
    EXPECT_NE(events.rfind("\n8388480 1970-01-01T00:00:00.000Z COM1 framing error on "),
              std::string::npos)
        << events.substr(0, 400);
    EXPECT_NE(events.find(" COM1 capture ended "), std::string::npos) << events.substr(0, 400);
    std::remove((file_.path() + ".events").c_str());
}

// A break before every short frame: beside a raw capture, where each line
// also carries its offset, time and port, the lines still take less room
// than the frames.
TEST_F(CaptureRun, BreaksOnShortFramesTakeLessRoomThanTheFramesBesideARawCapture) {
    std::size_t bytes = 0;
    for (int frame = 0; frame < 200; ++frame) {
        device_.queueBytes(Bytes(22, 'x'));
        device_.readMarks.push_back({{LineEventKind::Break, 0}});
        bytes += 22;
    }
    runRawWithEvents();
    Bytes side = testing::readFileBytes(file_.path() + ".events");
    std::string events(side.begin(), side.end());
    std::size_t marks = 0;
    for (std::size_t at = 0, end; (end = events.find('\n', at)) != std::string::npos;
         at = end + 1) {
        if (events.find("break", at) < end) marks += end + 1 - at;
    }
    EXPECT_NE(events.find(" COM1 break\n"), std::string::npos) << events;
    EXPECT_LT(marks, bytes) << events;
    std::remove((file_.path() + ".events").c_str());
}

// What the last look at the shutdown finds, with no byte left, is marked
// before the last line, and looked for once.
TEST_F(CaptureRun, MarksFoundAtTheShutdownAreKept) {
    device_.queueBytes({'a'});
    device_.lastMarks = {{LineEventKind::Dropped, 0, 4}};
    console_.keys = {'q'};
    CaptureParts events = parts();
    events.options.lineEvents = true;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(runCaptureWith(file_.path(), PortSettings{}, events), 0);
    ::testing::internal::GetCapturedStderr();
    Bytes file = captured();
    const std::string text(file.begin(), file.end());
    EXPECT_NE(text.find("a\r\n--- serialtap: bytes dropped at or before this point: 4\n--- "
                        "serialtap: capture ended"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("bytes dropped"), text.rfind("bytes dropped")) << text;
}

// Whether or not the line is watched, bytes the system dropped are said.
TEST_F(CaptureRun, DroppedBytesAreSaidAtTheEndWithoutLineEvents) {
    device_.queueBytes({'x'});
    device_.drops = {0, 2};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "bytes were dropped by the system before serialtap read them, 2 times; the system "
              "gives no count\n");
    EXPECT_EQ(captured(), Bytes{'x'});
    EXPECT_FALSE(device_.watching);
    EXPECT_EQ(device_.maskSet, kEventRxChar);
}

}  // namespace
}  // namespace serialtap

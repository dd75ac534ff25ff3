// Captures over a model of a real Windows serial driver, and the line
// settings the Win32 device writes back to the port.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/capture_run.h"
#include "port/comm_state.h"
#include "port/serial_port.h"
#include "tests/fake_serial_device.h"
#include "tests/terminal_screen.h"
#include "tests/test_files.h"

namespace serialtap {
namespace {

using testing::DriverModelDevice;
using Bytes = std::vector<std::uint8_t>;

class Keys : public Console {
public:
    std::deque<int> keys;
    bool keyWaiting() override { return !keys.empty(); }
    int readKey() override {
        int key = keys.front();
        keys.pop_front();
        return key;
    }
    std::optional<NativeHandle> wakeHandle() const override { return 11; }
};

class Stop : public StopSignal {
public:
    bool stop = false;
    bool requested() override { return stop; }
    NativeHandle wakeHandle() const override { return 12; }
};

class WindowsDriver : public ::testing::Test {
protected:
    WindowsDriver() {
        device_.wakeReadyNow = [this] { return !console_.keys.empty() || stop_.stop; };
        // A run whose script is over stops, so a failing test cannot hang.
        device_.onScriptEnd = [this] { stop_.stop = true; };
    }
    ~WindowsDriver() override { std::fclose(messages_); }

    int run() { return runCaptureWith(file_.path(), PortSettings{}, parts()); }
    // The parts of a capture over the driver model, whose wait is the model's.
    CaptureParts parts(CaptureView* view = nullptr) {
        CaptureParts made{device_, &console_, &stop_, messages_, {}, view};
        made.wait = [this](WaitSet& set, int& error) { return device_.wait(set, error); };
        return made;
    }
    void then(std::function<void()> step) { device_.steps.push_back(std::move(step)); }
    std::string messages() { return testing::streamText(messages_); }
    Bytes captured() { return testing::readFileBytes(file_.path()); }

    DriverModelDevice device_;
    Keys console_;
    Stop stop_;
    std::FILE* messages_ = std::tmpfile();
    testing::TempPath file_{"capture.txt"};
};

Bytes burst(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
    return bytes;
}

Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

TEST_F(WindowsDriver, BytesLeftQueuedAfterABurstAreReadWithoutWaitingForMore) {
    Bytes sent = burst(1000);
    then([&] { device_.arrive(sent); });
    // The next step runs only when the event wait blocks again.
    then([&] { EXPECT_EQ(device_.queued(), 0u) << "bytes left waiting for the next event"; });
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(captured(), testing::expandLineEnds(sent));
    EXPECT_EQ(messages(), "");
}

TEST_F(WindowsDriver, QRightAfterABurstStillKeepsEveryByte) {
    Bytes sent = burst(1000);
    then([&] {
        device_.arrive(sent);
        console_.keys.push_back('q');
    });
    EXPECT_EQ(run(), 0);
    EXPECT_FALSE(stop_.stop) << "ended by the script, not by q";
    EXPECT_EQ(captured(), testing::expandLineEnds(sent));
}

TEST_F(WindowsDriver, LineErrorWithAbortOnErrorDoesNotStopTheCapture) {
    device_.abortOnError = true;
    then([&] { device_.arrive(text("before ")); });
    then([&] {
        device_.lineError(DriverModelDevice::kFramingError);
        device_.arrive(text("after "));
    });
    then([&] { device_.arrive(text("later")); });
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(captured(), text("before after later"));
    EXPECT_EQ(messages(), "Error for Waiting Comm Event: 995\nline error: 8\n");
}

// A terminal with a status line and messages on it.
class Screen : public StatusDisplay, public ShownStream {
public:
    bool drawable() override { return true; }
    int columns() override { return 80; }
    bool write(const std::string& text) override {
        screen.write(text);
        return true;
    }
    ShownWrite write(const char* data, std::size_t size, ShownKind) override {
        screen.write(std::string(data, size));
        return {size, false, false};
    }
    bool terminal() const override { return true; }

    testing::TerminalScreen screen;
};

TEST_F(WindowsDriver, LineErrorGetsALineOfItsOwnUnderTheStatusLine) {
    Screen screen;
    CaptureView view(std::make_unique<StatusLine>("COM1 9600 8N1 -> capture.txt", screen, true,
                                                  [] { return StatusLine::Clock::now(); }));
    then([&] { device_.arrive(text("before ")); });
    then([&] {
        device_.arrive(text("x"));
        device_.lineError(DriverModelDevice::kFramingError);
    });
    CaptureParts shown = parts(&view);
    shown.output = &screen;
    EXPECT_EQ(runCaptureWith(file_.path(), PortSettings{}, shown), 0);
    ASSERT_FALSE(screen.screen.lines().empty());
    EXPECT_EQ("line error: 8", screen.screen.lines()[0]);
}

TEST_F(WindowsDriver, LineErrorsAreReportedAtMostOnceASecond) {
    for (int i = 0; i < 5; ++i) {
        then([&] {
            device_.arrive(text("x"));
            device_.lineError(DriverModelDevice::kFramingError | 0x0002);
        });
    }
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(captured(), text("xxxxx"));
    EXPECT_EQ(messages(), "line error: 10\n");
}

TEST_F(WindowsDriver, QueueCountThatCannotBeReadIsReportedAndPaced) {
    device_.clearFailure = 22;
    for (int i = 0; i < 3; ++i) then([&] { device_.arrive(text("x")); });
    EXPECT_EQ(run(), 0);
    // Each failure after a pause of a second is said again.
    std::string said = messages();
    std::string once = "error clearing comm: 22\n";
    ASSERT_FALSE(said.empty());
    for (std::size_t at = 0; at < said.size(); at += once.size()) {
        EXPECT_EQ(said.substr(at, once.size()), once);
    }
    EXPECT_LE(said.size() / once.size(), static_cast<std::size_t>(device_.pauses) + 1);
    EXPECT_GE(device_.pauses, 2);
}

TEST_F(WindowsDriver, QEndsTheCaptureSoonWhenThePortStopsCompletingRequests) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point pressed;
    then([&] {
        device_.arrive(burst(300));
        device_.remove();
    });
    then([&] {
        console_.keys.push_back('q');
        pressed = Clock::now();
    });
    EXPECT_EQ(run(), 0);
    EXPECT_FALSE(stop_.stop) << "ended by the script, not by q";
    EXPECT_LT(Clock::now() - pressed, std::chrono::seconds(2));
    EXPECT_EQ(messages(), "TimeOut for waiting single object: 258\n");
}

Bytes takeEverythingBuffered(SerialPort& port) {
    Bytes taken;
    for (Reception rest = port.takeBuffered(); rest.size > 0; rest = port.takeBuffered()) {
        taken.insert(taken.end(), rest.data, rest.data + rest.size);
    }
    return taken;
}

// What the driver held when the port went was taken; the reopened port's
// shutdown must still take all that the driver holds then.
TEST(WindowsDriverReopen, LeavesTheNextShutdownAllOfItsReading) {
    DriverModelDevice device;
    std::FILE* messages = std::tmpfile();
    SerialPort port(device, messages);
    ASSERT_TRUE(port.open(PortSettings{}));
    device.arrive(burst(300));
    EXPECT_EQ(takeEverythingBuffered(port), burst(300));
    port.closePort();
    port.closeEvent();

    ASSERT_TRUE(port.open(PortSettings{}, true));
    device.arrive(burst(1000));
    EXPECT_EQ(takeEverythingBuffered(port), burst(1000));
    std::fclose(messages);
}

// A port over the driver model, its passes made one at a time.
class WatchedDriver : public ::testing::Test {
protected:
    ~WatchedDriver() override { std::fclose(messages_); }

    void open(bool watch) {
        PortSettings settings;
        settings.watchLine = watch;
        ASSERT_TRUE(port_.open(settings));
    }
    // The bytes of one pass with its marks among them, each as <kind>.
    std::string pass() {
        Reception got = port_.receive();
        std::string shown;
        std::size_t mark = 0;
        for (std::size_t at = 0; at <= got.size; ++at) {
            for (; mark < got.markCount && got.marks[mark].at == at; ++mark) {
                shown += "<" + described(got.marks[mark]) + ">";
            }
            if (at < got.size) shown += static_cast<char>(got.data[at]);
        }
        EXPECT_EQ(mark, got.markCount) << "marks out of order or beyond the bytes";
        return shown;
    }
    static std::string described(const LineMark& mark) {
        switch (mark.kind) {
            case LineEventKind::Break:
                return "break";
            case LineEventKind::FramingError:
                return "framing";
            case LineEventKind::ParityError:
                return "parity";
            case LineEventKind::Dropped:
                return "dropped " + std::to_string(mark.count);
            case LineEventKind::ModemLines:
                return "lines " + std::to_string(mark.lines);
        }
        return "?";
    }

    DriverModelDevice device_;
    std::FILE* messages_ = std::tmpfile();
    SerialPort port_{device_, messages_};
};

TEST_F(WatchedDriver, EachErrorWordMarksTheBytesReadAfterTheCountThatFoundIt) {
    open(true);
    EXPECT_EQ(device_.maskSet, kEventRxChar | kLineEventMask);
    const std::pair<std::uint32_t, const char*> words[] = {
        {0x0010, "<break>"},     {0x0008, "<framing>"},   {0x0004, "<parity>"},
        {0x0002, "<dropped 0>"}, {0x0001, "<dropped 0>"},
    };
    for (const auto& [word, mark] : words) {
        device_.arrive(text("a"));
        EXPECT_EQ(pass(), "a");
        device_.lineError(word);
        device_.arrive(text("bc"));
        EXPECT_EQ(pass(), std::string(mark) + "bc") << word;
    }
    // A break alone, with no byte after it, still ends a wait.
    device_.lineError(0x0010);
    EXPECT_EQ(pass(), "<break>");
    EXPECT_EQ(port_.dropped().uncounted, 2u);
    EXPECT_EQ(port_.dropped().bytes, 0u);
}

TEST_F(WatchedDriver, ModemLinesChangingOnAQuietLineAreMarkedFromTheStateAtOpen) {
    device_.changeLines(kLineCts | kLineDsr);
    open(true);
    EXPECT_EQ(port_.modemLines(), kLineCts | kLineDsr);
    device_.changeLines(kLineCts | kLineDsr | kLineDcd);
    EXPECT_EQ(pass(), "<lines 176>");
    // A ring over before the status is read leaves the lines as they were.
    device_.changeLines(kLineCts | kLineDsr | kLineDcd | kLineRing);
    device_.changeLines(kLineCts | kLineDsr | kLineDcd);
    EXPECT_EQ(pass(), "");
    EXPECT_EQ(port_.modemLines(), kLineCts | kLineDsr | kLineDcd);
}

TEST_F(WatchedDriver, UnwatchedLineKeepsItsMaskAndCallsAndStillCountsDrops) {
    open(false);
    EXPECT_EQ(device_.maskSet, kEventRxChar);
    device_.changeLines(kLineCts);
    device_.lineError(0x0002 | 0x0008);
    device_.arrive(text("ab"));
    Reception got = port_.receive();
    EXPECT_EQ(got.size, 2u);
    EXPECT_EQ(got.markCount, 0u);
    EXPECT_EQ(device_.statusReads, 0);
    EXPECT_EQ(port_.dropped().uncounted, 1u);
    EXPECT_EQ(testing::streamText(messages_), "line error: 10\n");
}

// The fields of a DCB that the program decides on, under the same names.
struct Dcb {
    unsigned fBinary : 1;
    unsigned fOutxCtsFlow : 1;
    unsigned fDsrSensitivity : 1;
    unsigned fOutX : 1;
    unsigned fInX : 1;
    unsigned fErrorChar : 1;
    unsigned fNull : 1;
    unsigned fRtsControl : 2;
    unsigned fAbortOnError : 1;
    char XonChar;
    char XoffChar;
    unsigned fParity : 1;
    unsigned char Parity;
};

TEST(CommState, ClearsWhatDropsBytesAndKeepsFlowControl) {
    Dcb dcb{0, 1, 1, 1, 1, 1, 1, 2, 1, 0x05, 0x06, 0, 0};
    makeCommStateTransparent(dcb);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fNull + dcb.fErrorChar + dcb.fAbortOnError + dcb.fDsrSensitivity + dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, 2u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.XonChar, 0x05);
    EXPECT_EQ(dcb.XoffChar, 0x06);

    // Equal characters, as some drivers report them, would be refused.
    dcb.XonChar = dcb.XoffChar = 0;
    makeCommStateTransparent(dcb);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
}

TEST(CommState, AWatchedLineWithParityChecksIt) {
    Dcb dcb{};
    checkParityOfWatchedLine(dcb);
    EXPECT_EQ(dcb.fParity, 0u);
    dcb.Parity = 2;
    checkParityOfWatchedLine(dcb);
    EXPECT_EQ(dcb.fParity, 1u);
}

}  // namespace
}  // namespace serialtap

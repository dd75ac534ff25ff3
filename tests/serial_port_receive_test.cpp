#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "port/serial_port.h"
#include "tests/fake_serial_device.h"
#include "tests/test_files.h"

namespace serialtap {
namespace {

using testing::FakeSerialDevice;
using Bytes = std::vector<std::uint8_t>;

class ReceptionPass : public ::testing::Test {
protected:
    ReceptionPass() { EXPECT_TRUE(port_.open(PortSettings{})); }
    ~ReceptionPass() override { std::fclose(messages_); }

    std::string messages() { return testing::streamText(messages_); }
    static Bytes bytesOf(const Reception& pass) { return Bytes(pass.data, pass.data + pass.size); }
    std::vector<std::string> callsFromNowOn() {
        std::vector<std::string> calls(device_.calls.begin() + static_cast<std::ptrdiff_t>(seen_),
                                       device_.calls.end());
        seen_ = device_.calls.size();
        return calls;
    }
    void skipSetupCalls() { seen_ = device_.calls.size(); }

    FakeSerialDevice device_;
    std::FILE* messages_ = std::tmpfile();
    SerialPort port_{device_, messages_};
    std::size_t seen_ = 0;
};

Bytes sequence(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    return bytes;
}

TEST_F(ReceptionPass, ReadsWhatIsQueuedAndHandsItBack) {
    skipSetupCalls();
    device_.queueBytes({'a', '\n', 'b'});
    Reception pass = port_.receive();
    EXPECT_EQ(bytesOf(pass), (Bytes{'a', '\n', 'b'}));
    EXPECT_TRUE(pass.keyTestDue);
    EXPECT_EQ(callsFromNowOn(), (std::vector<std::string>{"waitEvent", "clearErrors", "read 3"}));
    EXPECT_EQ(messages(), "");
}

TEST_F(ReceptionPass, TakesAtMost255BytesAPass) {
    skipSetupCalls();
    Bytes queued = sequence(300);
    device_.waits.push_back({});
    device_.queueCounts.push_back(300);
    device_.reads.push_back({ReadStart::Completed, queued, 0});
    Reception first = port_.receive();
    EXPECT_EQ(bytesOf(first), Bytes(queued.begin(), queued.begin() + 255));
    EXPECT_EQ(callsFromNowOn().back(), "read 255");

    // The 45 left over, with 5 more that arrived since.
    Bytes rest(queued.begin() + 255, queued.end());
    rest.insert(rest.end(), 5, 0xEE);
    device_.queueBytes(rest);
    EXPECT_EQ(bytesOf(port_.receive()), rest);
    EXPECT_EQ(callsFromNowOn().back(), "read 50");
}

TEST_F(ReceptionPass, GivesOnlyThisPassesBytesFromTheReusedBuffer) {
    device_.queueBytes(sequence(200));
    device_.queueBytes({9});
    port_.receive();
    EXPECT_EQ(bytesOf(port_.receive()), Bytes{9});
}

TEST_F(ReceptionPass, PassesWithoutBytesSayNothingAndLookAtTheKeyboard) {
    struct Case {
        const char* name;
        FakeSerialDevice::Wait wait;
        std::uint32_t queued;
        bool readsPort;
    } cases[] = {
        {"mask without received characters", {EventWait::Event, 0x0004, 0, false}, 10, false},
        {"nothing queued", {}, 0, false},
        {"read completes with no bytes", {}, 4, true},
    };
    for (const Case& c : cases) {
        skipSetupCalls();
        device_.waits.push_back(c.wait);
        device_.queueCounts.push_back(c.queued);
        if (c.readsPort) device_.reads.push_back({ReadStart::Completed, {}, 0});
        Reception pass = port_.receive();
        EXPECT_EQ(pass.size, 0u) << c.name;
        EXPECT_TRUE(pass.keyTestDue) << c.name;
        std::vector<std::string> calls = callsFromNowOn();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "read 4"), c.readsPort ? 1 : 0) << c.name;
    }
    EXPECT_EQ(messages(), "");
}

TEST_F(ReceptionPass, PendingEventWaitEndsThePassWithoutKeyTest) {
    device_.waits.push_back({EventWait::Failed, 0, kErrorIoPending, false});
    Reception pass = port_.receive();
    EXPECT_EQ(pass.size, 0u);
    EXPECT_FALSE(pass.keyTestDue);
    EXPECT_EQ(messages(), "");
}

TEST_F(ReceptionPass, FailedEventWaitIsReported) {
    device_.waits.push_back({EventWait::Failed, 0, 5, false});
    Reception pass = port_.receive();
    EXPECT_EQ(pass.size, 0u);
    EXPECT_TRUE(pass.keyTestDue);
    EXPECT_EQ(messages(), "Error for Waiting Comm Event: 5\n");
}

TEST_F(ReceptionPass, PortWithNothingFoundIsNotRead) {
    device_.waits.push_back({EventWait::Nothing, 0, 0, false});
    skipSetupCalls();
    Reception pass = port_.receive();
    EXPECT_EQ(pass.size, 0u);
    EXPECT_TRUE(pass.keyTestDue);
    EXPECT_EQ(callsFromNowOn(), std::vector<std::string>{"waitEvent"});
}

TEST_F(ReceptionPass, QueueCountThatCannotBeReadGivesAFullSizeRead) {
    skipSetupCalls();
    device_.waits.push_back({});
    device_.failCall("clearErrors", 22);
    device_.reads.push_back({ReadStart::Completed, {1, 2}, 0});
    EXPECT_EQ(bytesOf(port_.receive()), (Bytes{1, 2}));
    EXPECT_EQ(callsFromNowOn().back(), "read 255");
    EXPECT_EQ(messages(), "");
}

TEST_F(ReceptionPass, FailedReadIsReported) {
    device_.waits.push_back({});
    device_.queueCounts.push_back(8);
    device_.reads.push_back({ReadStart::Failed, {}, 31});
    EXPECT_EQ(port_.receive().size, 0u);
    EXPECT_EQ(messages(), "Reading of serial communication has problem: 31\n");
}

// The table holds plain values only: a vector built inside ::testing::Values'
// arguments is copied through several temporaries, which GCC 12 at -O3
// mistakes for a read of uninitialised memory.
struct PendingCase {
    const char* name;
    CompletionWait wait;
    int waitError;
    bool resultOk;
    int resultError;
    std::size_t deliveredBeforeCancel;  // of the read's 7 8 9
    std::size_t capturedBytes;          // of the read's 7 8 9
    const char* message;
    bool cancels;
};

void PrintTo(const PendingCase& c, std::ostream* out) { *out << c.name; }

class PendingRead : public ReceptionPass, public ::testing::WithParamInterface<PendingCase> {};

TEST_P(PendingRead, EndsAsItsCompletionWaitSays) {
    const PendingCase& c = GetParam();
    const Bytes readBytes{7, 8, 9};
    auto prefix = [&](std::size_t n) {
        return Bytes(readBytes.begin(), readBytes.begin() + static_cast<std::ptrdiff_t>(n));
    };
    skipSetupCalls();
    device_.waits.push_back({});
    device_.queueCounts.push_back(3);
    device_.reads.push_back({ReadStart::Pending, readBytes, kErrorIoPending});
    device_.completions.push_back(
        {c.wait, c.waitError, c.resultOk, c.resultError, prefix(c.deliveredBeforeCancel)});

    Reception pass = port_.receive();
    EXPECT_EQ(bytesOf(pass), prefix(c.capturedBytes));
    EXPECT_TRUE(pass.keyTestDue);
    EXPECT_EQ(messages(), c.message);
    std::vector<std::string> calls = callsFromNowOn();
    EXPECT_EQ(calls[3], "waitRead 500");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "cancelRead"), c.cancels ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, PendingRead,
    ::testing::Values(
        PendingCase{"Completed", CompletionWait::Signalled, 0, true, 0, 0, 3, "", false},
        PendingCase{"ResultFails", CompletionWait::Signalled, 0, false, 996, 0, 0,
                    "Error getting Overlapped result: 996\n", false},
        PendingCase{"TimesOut", CompletionWait::TimedOut, 0, true, 0, 0, 0,
                    "TimeOut for waiting single object: 0\n", true},
        // What a read delivered before it was cancelled still reaches the capture.
        PendingCase{"TimesOutAfterSomeBytes", CompletionWait::TimedOut, 0, true, 0, 1, 1,
                    "TimeOut for waiting single object: 0\n", true},
        PendingCase{"WaitFails", CompletionWait::Failed, 6, true, 0, 0, 0,
                    "error waiting for single object: 6\n", true},
        PendingCase{"OtherResult", CompletionWait::Other, 0, true, 0, 0, 0, "", true}),
    [](const ::testing::TestParamInfo<PendingCase>& info) { return std::string(info.param.name); });

// From the second failure in a row the port pauses a second: passes
// before its end reach no device, and the port leaves the capture's wait
// to the other sources, with the pause's end as its deadline.
TEST_F(ReceptionPass, PortThatKeepsFailingPausesAndReportsOnce) {
    for (int i = 0; i < 20; ++i) device_.waits.push_back({EventWait::Failed, 0, 5, false});
    skipSetupCalls();
    for (int i = 0; i < 20; ++i) port_.receive();
    EXPECT_EQ(messages(), "Error for Waiting Comm Event: 5\n");
    std::vector<std::string> calls = callsFromNowOn();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "waitEvent"), 2);
    WaitSet set;
    port_.addSources(set, 0);
    EXPECT_TRUE(set.sources().empty());
    ASSERT_TRUE(set.deadline().has_value());
    EXPECT_GT(*set.deadline(), SerialPort::Clock::now());
    EXPECT_LE(*set.deadline(), SerialPort::Clock::now() + std::chrono::seconds(1));
}

TEST_F(ReceptionPass, SingleFailureDoesNotPauseTheReading) {
    device_.waits.push_back({EventWait::Failed, 0, 5, false});
    device_.queueBytes({1});
    device_.waits.push_back({EventWait::Failed, 0, 5, false});
    device_.queueBytes({2});
    skipSetupCalls();
    for (int i = 0; i < 4; ++i) {
        WaitSet set;
        port_.addSources(set, 0);
        EXPECT_EQ(set.sources().size(), 1u);
        port_.receive();
    }
    std::vector<std::string> calls = callsFromNowOn();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "waitEvent"), 4);
}

TEST_F(ReceptionPass, WaitEndingWithAnEmptyMaskIsAPacedFailure) {
    for (int i = 0; i < 3; ++i) device_.waits.push_back({EventWait::Event, 0, 0, false});
    skipSetupCalls();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(port_.receive().size, 0u);
    EXPECT_EQ(messages(), "Error for Waiting Comm Event: 995\n");
    std::vector<std::string> calls = callsFromNowOn();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "waitEvent"), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "clearErrors"), 0);
}

TEST_F(ReceptionPass, DifferentFailuresAreEachReported) {
    // A read between the failures keeps the port from pausing.
    device_.waits.push_back({EventWait::Failed, 0, 5, false});
    device_.queueBytes({1});
    device_.waits.push_back({EventWait::Failed, 0, 6, false});
    device_.queueBytes({2});
    device_.waits.push_back({});
    device_.queueCounts.push_back(1);
    device_.reads.push_back({ReadStart::Failed, {}, 5});
    for (int i = 0; i < 5; ++i) port_.receive();
    EXPECT_EQ(messages(),
              "Error for Waiting Comm Event: 5\n"
              "Error for Waiting Comm Event: 6\n"
              "Reading of serial communication has problem: 5\n");
}

// Every message takes the capture's one way once it is given, and only a
// message that is printed.
TEST_F(ReceptionPass, GivesEachMessageItPrintsToTheMessageOutput) {
    std::vector<std::string> said;
    port_.setMessageOutput([&](const char* text) { said.emplace_back(text); });
    for (int i = 0; i < 3; ++i) device_.waits.push_back({EventWait::Failed, 0, 5, false});
    for (int i = 0; i < 3; ++i) port_.receive();
    EXPECT_EQ(said, std::vector<std::string>{"Error for Waiting Comm Event: 5\n"})
        << "repeats are held back";
    EXPECT_EQ(messages(), "");
}

}  // namespace
}  // namespace serialtap

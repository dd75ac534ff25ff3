// The Win32 device's reads over a named pipe, which takes overlapped reads
// as a port does: what a wait that times out reports, what a cancelled read
// gives, and a close that does not wait on a pending read.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "port/serial_device.h"

namespace serialtap {
namespace {

// What is there to read, whether the read completes at once or pends.
testing::AssertionResult readWhatIsThere(SerialDevice& device, std::uint8_t* buffer,
                                         std::uint32_t size, std::uint32_t& count) {
    ReadStart start = device.startRead(buffer, size, count);
    if (start == ReadStart::Completed) return testing::AssertionSuccess();
    if (start != ReadStart::Pending) return testing::AssertionFailure() << "the read failed";
    if (device.waitRead(1000) != CompletionWait::Signalled)
        return testing::AssertionFailure() << "the pending read never completed";
    if (!device.readResult(count)) return testing::AssertionFailure() << "no result";
    return testing::AssertionSuccess();
}

class Win32Device : public ::testing::Test {
protected:
    Win32Device() {
        std::string name = "\\\\.\\pipe\\serialtap-test-" + std::to_string(GetCurrentProcessId());
        server_ = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096,
                                   0, nullptr);
        EXPECT_NE(server_, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(device_->open(name)) << device_->lastError();
        EXPECT_TRUE(device_->createEvent());
    }
    ~Win32Device() override { CloseHandle(server_); }

    void send(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(
            WriteFile(server_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    }

    HANDLE server_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<SerialDevice> device_ = makePlatformDevice();
    std::uint8_t buffer_[255] = {};
};

TEST_F(Win32Device, TimedOutReadReportsTheWaitsCodeAndGivesNothingOnceCancelled) {
    std::uint32_t count = 99;
    ASSERT_EQ(device_->startRead(buffer_, 10, count), ReadStart::Pending);
    EXPECT_EQ(device_->waitRead(50), CompletionWait::TimedOut);
    EXPECT_EQ(device_->lastError(), static_cast<int>(WAIT_TIMEOUT));
    EXPECT_EQ(device_->cancelRead(), 0u);

    // The next read is not disturbed by the one cancelled before it.
    send("abc");
    ASSERT_TRUE(readWhatIsThere(*device_, buffer_, 10, count));
    EXPECT_EQ(std::string(buffer_, buffer_ + count), "abc");
}

TEST_F(Win32Device, CloseEndsAPendingReadAtOnce) {
    std::uint32_t count = 0;
    ASSERT_EQ(device_->startRead(buffer_, 10, count), ReadStart::Pending);
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(device_->closePort());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_TRUE(device_->closeEvent());
}

// A handle without modem lines or line errors (a pipe, a port whose driver
// refuses to tell) reads as before and says it has no lines.
TEST(Win32WatchedDevice, PortWithoutModemLinesSaysSoAndReadsUnmarked) {
    std::string name = "\\\\.\\pipe\\serialtap-watched-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096,
                                     4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::unique_ptr<SerialDevice> device = makePlatformDevice();
    device->watchLine(true);
    ASSERT_TRUE(device->open(name)) << device->lastError();
    ASSERT_TRUE(device->createEvent());
    EXPECT_EQ(device->modemLines(), std::nullopt);

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(server, "abc", 3, &written, nullptr));
    std::uint8_t buffer[16] = {};
    std::uint32_t count = 0;
    ASSERT_TRUE(readWhatIsThere(*device, buffer, sizeof buffer, count));
    EXPECT_EQ(std::string(buffer, buffer + count), "abc");
    std::vector<LineMark> marks;
    device->takeMarks(marks);
    EXPECT_TRUE(marks.empty());
    EXPECT_EQ(device->dropped().uncounted, 0u);
    EXPECT_TRUE(device->closePort());
    EXPECT_TRUE(device->closeEvent());
    CloseHandle(server);
}

}  // namespace
}  // namespace serialtap

#include "capture/capture_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <vector>

#include "capture/events_file.h"
#include "capture/rotating_sink.h"
#include "tests/test_files.h"

namespace serialtap {
namespace {

using testing::expandLineEnds;
using testing::readFileBytes;
using testing::TempPath;
using Bytes = std::vector<std::uint8_t>;

// A rotated part's name carries the UTC second it ended, leap days and
// the ends of years and centuries included.
TEST(RotatedPartName, IsTheUtcMomentInSortableForm) {
    EXPECT_EQ("19700101T000000Z", utcStamp(0));
    EXPECT_EQ("20000229T000000Z", utcStamp(951782400));
    EXPECT_EQ("20261209T013512Z", utcStamp(1796780112));
    EXPECT_EQ("20991231T235959Z", utcStamp(4102444799));
}

TEST(CaptureFile, StoresEveryByteValueWithLineFeedsExpanded) {
    TempPath file("capture.bin");
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    CaptureFile capture;
    ASSERT_TRUE(capture.open(file.path()));
    capture.writeBytes(all.data(), all.size());
    ASSERT_TRUE(capture.close());

    Bytes stored = readFileBytes(file.path());
    ASSERT_EQ(stored.size(), 257u);
    EXPECT_EQ(stored, expandLineEnds(all));
    EXPECT_EQ(stored[0x0A], 0x0D);
    EXPECT_EQ(stored[0x0B], 0x0A);
}

TEST(CaptureFile, LineEndsAreExpandedWhateverSurroundsThem) {
    struct Case {
        Bytes received;
        Bytes stored;
    } cases[] = {
        {{0x41, 0x0A, 0x42}, {0x41, 0x0D, 0x0A, 0x42}},
        {{0x0D, 0x0A}, {0x0D, 0x0D, 0x0A}},
        {{0x0A, 0x0A}, {0x0D, 0x0A, 0x0D, 0x0A}},
        {{0x00}, {0x00}},
        {{0x1A, 0x42}, {0x1A, 0x42}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        TempPath file("capture.bin");
        CaptureFile capture;
        ASSERT_TRUE(capture.open(file.path()));
        capture.writeBytes(c.received.data(), c.received.size());
        ASSERT_TRUE(capture.close());
        EXPECT_EQ(readFileBytes(file.path()), c.stored);
    }
}

TEST(CaptureFile, WritesOutWhenAByteArrivesForAFullBuffer) {
    TempPath file("capture.bin");
    // Line feeds included, so the write-out is counted in received bytes.
    Bytes received(CaptureFile::kBufferBytes + 10);
    for (std::size_t i = 0; i < received.size(); ++i) received[i] = i % 64 == 63 ? 0x0A : 'a';
    CaptureFile capture;
    ASSERT_TRUE(capture.open(file.path()));

    // Passes of odd sizes, as the port delivers them.
    std::size_t written = 0;
    while (written < CaptureFile::kBufferBytes) {
        std::size_t size = std::min<std::size_t>(255, CaptureFile::kBufferBytes - written);
        capture.writeBytes(received.data() + written, size);
        written += size;
    }
    EXPECT_TRUE(readFileBytes(file.path()).empty()) << "a full buffer stays in memory";

    capture.writeBytes(received.data() + written, 1);
    Bytes first(received.begin(), received.begin() + CaptureFile::kBufferBytes);
    EXPECT_EQ(readFileBytes(file.path()), expandLineEnds(first));

    capture.writeBytes(received.data() + written + 1, received.size() - written - 1);
    EXPECT_EQ(readFileBytes(file.path()), expandLineEnds(first));
    ASSERT_TRUE(capture.close());
    EXPECT_EQ(readFileBytes(file.path()), expandLineEnds(received));
}

// A write-out one byte early leaves the same file in the end; only the
// moment shows it.
TEST(CaptureFile, FourThousandNinetyFiveBytesAndOneMoreStayInMemory) {
    TempPath file("capture.bin");
    Bytes received(CaptureFile::kBufferBytes + 1, 'y');
    CaptureFile capture;
    ASSERT_TRUE(capture.open(file.path()));
    capture.writeBytes(received.data(), CaptureFile::kBufferBytes - 1);
    capture.writeBytes(received.data(), 1);
    EXPECT_TRUE(readFileBytes(file.path()).empty());
    capture.writeBytes(received.data(), 1);
    EXPECT_EQ(readFileBytes(file.path()).size(), CaptureFile::kBufferBytes);
    ASSERT_TRUE(capture.close());
    EXPECT_EQ(readFileBytes(file.path()), received);
}

TEST(CaptureFile, LargeWritesGoOutInWholeBuffers) {
    TempPath file("capture.bin");
    Bytes received(3 * CaptureFile::kBufferBytes + 1, 'x');
    CaptureFile capture;
    ASSERT_TRUE(capture.open(file.path()));
    capture.writeBytes(received.data(), received.size());
    EXPECT_EQ(readFileBytes(file.path()).size(), 3 * CaptureFile::kBufferBytes);
    ASSERT_TRUE(capture.close());
    EXPECT_EQ(readFileBytes(file.path()), received);
}

TEST(CaptureFile, OpenEmptiesAnExistingFile) {
    TempPath file("capture.bin");
    std::ofstream(file.path()) << "an earlier capture";
    CaptureFile capture;
    ASSERT_TRUE(capture.open(file.path()));
    EXPECT_TRUE(readFileBytes(file.path()).empty());
    EXPECT_TRUE(capture.close());
    EXPECT_TRUE(readFileBytes(file.path()).empty());
}

// A second capture of the same file must neither empty it nor write into it.
TEST(CaptureFile, FileAnotherCaptureHoldsIsRefusedAndLeftAlone) {
    TempPath file("capture.bin");
    Bytes first(CaptureFile::kBufferBytes + 10, 'a');
    CaptureFile running;
    ASSERT_TRUE(running.open(file.path()));
    running.writeBytes(first.data(), first.size());

    CaptureFile second;
    EXPECT_FALSE(second.open(file.path()));
    EXPECT_EQ(second.errorCode(), kCaptureFileBusy);
    EXPECT_EQ(readFileBytes(file.path()).size(), CaptureFile::kBufferBytes);

    ASSERT_TRUE(running.close());
    EXPECT_EQ(readFileBytes(file.path()), first);
    CaptureFile later;
    EXPECT_TRUE(later.open(file.path())) << "the lock goes with the close";
    EXPECT_TRUE(later.close());
}

TEST(CaptureFile, OpenThatFailsKeepsTheErrorAndNeverTouchesAStream) {
    TempPath folder("missing");
    CaptureFile capture;
    EXPECT_FALSE(capture.open(folder.path() + "/no/such/folder/capture.bin"));
    // ENOENT on POSIX, ERROR_PATH_NOT_FOUND on Windows.
    EXPECT_NE(capture.errorCode(), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(capture.close());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(CaptureFile, FailedWritesAreReportedAtOnceAndTheLossAtTheClose) {
    if (!testing::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    Bytes received(CaptureFile::kBufferBytes + 1, 'x');
    CaptureFile capture;
    ASSERT_TRUE(capture.open("/dev/full"));
    ::testing::internal::CaptureStderr();
    capture.writeBytes(received.data(), received.size());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Can't write the file: 28\n");
    // The retry at the close fails within the second: no second report.
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(capture.close());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error: 4097 bytes were not written to the file\n"
              "Error: Can't close the file\n");
}

// A port named with spaces, line breaks or escape sequences still gives
// one line per event, its port one word a terminal shows as it is.
TEST(EventsFile, ThePortIsOneVisibleWordWhateverItsName) {
    TempPath file("capture.bin");
    { std::ofstream created(file.path()); }
    EventsFile events;
    ASSERT_TRUE(events.open(file.path(), false));
    EXPECT_GT(events.write(3, ClockReading{}, "my port\n\x1b[2J\x7f", "break"), 0u);
    EXPECT_TRUE(events.close());
    std::ifstream in(file.path() + ".events", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "3 1970-01-01T00:00:00.000Z my?port??[2J? break\n");
    std::remove((file.path() + ".events").c_str());
}

// A full disk under the events file is said with its error code.
TEST(EventsFile, AFullDiskIsSaidWithItsCode) {
    if (!testing::fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    TempPath file("capture.bin");
    { std::ofstream created(file.path()); }
    std::filesystem::create_symlink("/dev/full", file.path() + ".events");
    EventsFile events;
    ASSERT_TRUE(events.open(file.path(), false));
    events.write(0, ClockReading{}, "COM1", "break");
    EXPECT_FALSE(events.flush());
    EXPECT_EQ(events.errorCode(), ENOSPC);
    std::remove((file.path() + ".events").c_str());
}

TEST(CaptureFile, CleanCloseSaysNothing) {
    TempPath file("capture.bin");
    CaptureFile capture;
    ASSERT_TRUE(capture.open(file.path()));
    Bytes bytes{'o', 'k'};
    capture.writeBytes(bytes.data(), bytes.size());
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(capture.close());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// A file whose answers are scripted: each write takes at most what the
// next allowance says (all when none is left), or fails with its code.
class ScriptedSink : public CaptureSink {
public:
    struct Answer {
        std::size_t takes;
        int error;
    };
    std::deque<Answer> answers;
    Bytes stored;

    bool open(const std::string&, bool) override { return open_ = true; }
    bool readerGone(int) const override { return false; }
    bool isOpen() const override { return open_; }
    SinkWrite write(const std::uint8_t* bytes, std::size_t size) override {
        Answer answer{size, 0};
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        SinkWrite result;
        result.written = std::min(answer.takes, size);
        stored.insert(stored.end(), bytes, bytes + result.written);
        result.error = answer.error;
        result.wouldBlock = answer.error == 0 && result.written < size;
        return result;
    }
    void waitWritable(int) override {}
    bool removed() override { return false; }
    bool close() override {
        open_ = false;
        return true;
    }
    int errorCode() const override { return 0; }
    std::intptr_t handle() const override { return 3; }
    int wouldBlockCode() const override { return 11; }

private:
    bool open_ = false;
};

class KeptBytes : public ::testing::Test {
protected:
    KeptBytes() {
        auto owned = std::make_unique<ScriptedSink>();
        sink_ = owned.get();
        capture_ = std::make_unique<CaptureFile>(std::move(owned));
        capture_->open("scripted");
    }

    // Stores one full buffer of distinct bytes and brings its write-out.
    Bytes writeBuffer(std::uint8_t first) {
        Bytes bytes(CaptureFile::kBufferBytes);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(first + i % 7);
        }
        capture_->writeBytes(bytes.data(), bytes.size());
        return bytes;
    }
    void flushBuffer() { capture_->writeBytes(&kMark, 1); }

    static constexpr std::uint8_t kMark = '!';
    ScriptedSink* sink_;
    std::unique_ptr<CaptureFile> capture_;
};

TEST_F(KeptBytes, WhatASlowReaderLeavesGoesFirstAtTheNextWriteOut) {
    sink_->answers = {{1000, 0}, {0, 0}};
    Bytes first = writeBuffer(1);
    Bytes second = writeBuffer(20);
    flushBuffer();  // the reader is still behind
    EXPECT_EQ(sink_->stored.size(), 1000u);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(capture_->close()) << "a slow reader is not a failure";
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    first.insert(first.end(), second.begin(), second.end());
    first.push_back(kMark);
    EXPECT_EQ(sink_->stored, first);
}

TEST_F(KeptBytes, FailedWriteIsReportedOnceAndRetriedAtTheNextWriteOut) {
    sink_->answers = {{100, 28}, {0, 28}, {0, 28}};
    ::testing::internal::CaptureStderr();
    Bytes first = writeBuffer(1);
    Bytes second = writeBuffer(30);
    flushBuffer();
    flushBuffer();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Can't write the file: 28\n");
    EXPECT_EQ(sink_->stored.size(), 100u);

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(capture_->close()) << "a write failed during the capture";
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "nothing was lost";
    first.insert(first.end(), second.begin(), second.end());
    first.insert(first.end(), 2, kMark);
    EXPECT_EQ(sink_->stored, first);
}

TEST_F(KeptBytes, BeyondTheLimitBytesAreDroppedCountedAndReported) {
    const std::size_t buffers = CaptureFile::kKeptLimit / CaptureFile::kBufferBytes + 2;
    for (std::size_t i = 0; i < buffers; ++i) sink_->answers.push_back({0, 0});
    ::testing::internal::CaptureStderr();
    for (std::size_t i = 0; i < buffers; ++i) writeBuffer(0);
    flushBuffer();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Can't write the file: 11\n");

    // The reader then takes everything kept; the rest was lost on the way.
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(capture_->close());
    const std::size_t lost = buffers * CaptureFile::kBufferBytes - CaptureFile::kKeptLimit;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error: " + std::to_string(lost) + " bytes were not written to the file\n");
    EXPECT_EQ(sink_->stored.size(), CaptureFile::kKeptLimit + 1);
}

// A file that could not be kept open (a Windows rename and reopen that
// both failed) loses what comes, and says so: never a silent success.
TEST_F(KeptBytes, BytesForAFileNoLongerOpenAreCountedAsLost) {
    sink_->close();
    writeBuffer(1);
    flushBuffer();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(capture_->close());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error: 4097 bytes were not written to the file\n");
}

}  // namespace
}  // namespace serialtap

#include "capture/capture_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <numeric>
#include <vector>

#include "tests/test_files.h"

namespace serialtap {
namespace {

using testing::expandLineEnds;
using testing::readFileBytes;
using testing::TempPath;
using Bytes = std::vector<std::uint8_t>;

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

TEST(CaptureFile, OpenThatFailsKeepsTheErrorAndNeverTouchesAStream) {
    TempPath folder("missing");
    CaptureFile capture;
    EXPECT_FALSE(capture.open(folder.path() + "/no/such/folder/capture.bin"));
    EXPECT_EQ(capture.errorCode(), ENOENT);
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

}  // namespace
}  // namespace serialtap

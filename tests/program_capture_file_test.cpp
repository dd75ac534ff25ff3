// The capture file under trouble: a second capture of it, a pipe whose
// reader falls behind, a full disk, and the file removed meanwhile.

#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using CaptureFileLockTest = PtyTest;

// The refused capture used to empty the file first; the running one then
// went on at its old offset behind a run of zero bytes.
TEST_F(CaptureFileLockTest, SecondCaptureOfTheFileIsRefusedAndLeavesItAlone) {
    const std::string before = randomBytes(6000);
    const std::string after = "after the refused capture\n";
    Program first(commandLine());
    ASSERT_TRUE(first.waitCapturing());
    ASSERT_TRUE(deliver(first, before));

    Finished second = runToExit(commandLine());
    EXPECT_EQ("could not open capture file: 16\n", second.output);
    EXPECT_EQ(1, second.status);

    ASSERT_TRUE(deliver(first, after));
    EXPECT_EQ(0, first.stopWithQ());
    EXPECT_TRUE(captured() == withLineEndsExpanded(before + after));
}

// A capture into a FIFO whose reader is behind or has stopped.
class FifoCaptureTest : public PtyTest {
protected:
    FifoCaptureTest() {
        if (mkfifo(fifo_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
        // Open, so the program's open goes through, and not read from yet.
        reader_.reset(open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    }

    std::vector<std::string> fifoCommandLine() const { return {fifo_, "-c", device_.portPath()}; }

    // Reads the FIFO to its end, or until nothing comes for a while.
    std::string readAll() const {
        std::string got;
        char chunk[65536];
        for (;;) {
            pollfd ready{reader_.get(), POLLIN, 0};
            if (poll(&ready, 1, 10000) <= 0) return got;
            ssize_t n = read(reader_.get(), chunk, sizeof chunk);
            if (n == 0) return got;
            if (n > 0) got.append(chunk, static_cast<std::size_t>(n));
            if (n < 0 && errno != EAGAIN && errno != EINTR) return got;
        }
    }

    std::string fifo_ = dir_.file("capture.fifo");
    UniqueFd reader_;
    // Several times what a pipe holds, well under what the capture keeps.
    const std::string received_ = randomBytes(std::size_t{300} * 1024);
};

TEST_F(FifoCaptureTest, SlowReaderGetsEveryByteInTheEnd) {
    Program program(fifoCommandLine());
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, received_)) << "a full pipe held the capture up";
    ASSERT_TRUE(program.waitCapturing());

    std::string read;
    std::thread reader([&] { read = readAll(); });
    int status = program.stopWithQ();
    reader.join();
    EXPECT_EQ(0, status);
    EXPECT_TRUE(read == withLineEndsExpanded(received_)) << read.size() << " bytes read";
    EXPECT_EQ("", program.output());
}

// The kept bytes used to wait for the next bytes from the device.
TEST_F(FifoCaptureTest, KeptBytesGoToAReaderThatComesBackWhileTheDeviceIsQuiet) {
    Program program({fifo_, "-c", device_.portPath(), "-f", "100"});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, received_));
    ASSERT_TRUE(program.waitCapturing());
    std::string expected = withLineEndsExpanded(received_);
    std::string read;
    char chunk[4096];
    for (;;) {
        pollfd ready{reader_.get(), POLLIN, 0};
        if (read.size() >= expected.size() || poll(&ready, 1, 10000) <= 0) break;
        ssize_t n = ::read(reader_.get(), chunk, sizeof chunk);
        if (n > 0) read.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(expected.size(), read.size()) << "bytes stayed kept while the device was quiet";
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_TRUE(read == expected.substr(0, read.size()));
}

// Opening a FIFO used to wait for a reader, before the port was even opened.
TEST_F(FifoCaptureTest, WithoutAReaderIsAClearFailure) {
    reader_.reset();
    Finished run = runToExit(fifoCommandLine());
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("could not open capture file: no process reads the pipe\n", run.output);
}

TEST_F(FifoCaptureTest, ReaderThatStoppedCannotKeepQFromEndingIt) {
    Program program(fifoCommandLine());
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, received_)) << "a full pipe held the capture up";
    ASSERT_TRUE(program.waitCapturing());

    EXPECT_EQ(1, program.stopWithQ());
    EXPECT_NE(std::string::npos, program.output().find("bytes were not written to the file"))
        << program.output();
    // What the reader finds is the start of the stream, intact.
    std::string read = readAll();
    std::string expected = withLineEndsExpanded(received_);
    EXPECT_GT(read.size(), 0u);
    EXPECT_TRUE(read == expected.substr(0, read.size()));
}

// A small file system of its own for the capture, filled to the last block.
// Mounting needs privileges; without them the test is skipped.
class FullDiskTest : public PtyTest {
protected:
    void SetUp() override {
        if (auto skip = mountPrivateTmpfs(disk_, "256k")) GTEST_SKIP() << *skip;
        mounted_ = true;
        UniqueFd filler(open(filler_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        std::string block(4096, 'f');
        while (write(filler.get(), block.data(), block.size()) > 0) {
        }
    }
    void TearDown() override {
        if (mounted_) umount2(disk_.c_str(), MNT_DETACH);
    }

    std::string disk_ = dir_.file("disk");
    std::string filler_ = disk_ + "/filler";
    std::string capture_ = disk_ + "/capture.bin";
    bool mounted_ = false;
};

TEST_F(FullDiskTest, FailedWriteIsReportedAtOnceAndRetriedWhenThereIsRoom) {
    const std::string first = randomBytes(10000);
    const std::string second = "written once there was room\n";
    Program program({capture_, "-c", device_.portPath()});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, first));
    ASSERT_TRUE(program.waitOutputContains("Error: Can't write the file: 28\r\n"));

    ASSERT_EQ(0, unlink(filler_.c_str()));
    ASSERT_TRUE(deliver(program, second));
    EXPECT_EQ(1, program.stopWithQ()) << "a write failed on the way";
    EXPECT_TRUE(readFile(capture_) == withLineEndsExpanded(first + second));
    EXPECT_EQ(std::string::npos, program.output().find("not written")) << program.output();
}

using RemovedFileTest = PtyTest;

TEST_F(RemovedFileTest, IsReportedAtTheEndWithStatusOne) {
    Program program(commandLine());
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, randomBytes(5000)));
    ASSERT_EQ(0, unlink(capturePath().c_str()));
    ASSERT_TRUE(deliver(program, "into a file with no name\n"));

    EXPECT_EQ(1, program.stopWithQ());
    EXPECT_EQ("Error: The file was removed during the capture\r\n", program.output());
}

}  // namespace
}  // namespace serialtap::test

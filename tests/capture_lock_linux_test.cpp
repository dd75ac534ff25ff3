// The capture file's lock against another capture that rotates the same
// file between this one's open and its lock.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "capture/capture_sink.h"
#include "tests/test_files.h"

namespace {

// Runs once, at the next lock taken in this process, before it is taken.
std::function<void()> beforeNextLock;

}  // namespace

// Every lock of the program in this test binary comes here first.
extern "C" int flock(int fd, int operation) {
    if (beforeNextLock) {
        std::function<void()> act = std::move(beforeNextLock);
        beforeNextLock = nullptr;
        act();
    }
    return static_cast<int>(syscall(SYS_flock, fd, operation));
}

namespace serialtap {
namespace {

std::string contents(const std::string& path) {
    auto bytes = testing::readFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// The other capture renames its finished part, holds its next live file
// and lets the part go just before this one's lock: the part is left
// whole, and the next live file is found held.
TEST(CaptureFileLock, CountsOnlyWhileTheNameLeadsToTheLockedFile) {
    testing::TempPath file("cap");
    const std::string part = file.path() + ".20261209T013512Z";
    std::FILE* earlier = std::fopen(file.path().c_str(), "wb");
    ASSERT_NE(nullptr, earlier);
    std::fputs("finished part", earlier);
    std::fclose(earlier);
    int next = -1;
    // Reset below, before the locals it uses are gone.
    // cppcheck-suppress danglingLifetime
    beforeNextLock = [&] {
        std::rename(file.path().c_str(), part.c_str());
        next = open(file.path().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        syscall(SYS_flock, next, LOCK_EX | LOCK_NB);
    };
    std::unique_ptr<CaptureSink> sink = makePlatformCaptureSink();
    EXPECT_FALSE(sink->open(file.path(), false));
    EXPECT_EQ(kCaptureFileBusy, sink->errorCode());
    beforeNextLock = nullptr;
    EXPECT_EQ("finished part", contents(part));
    close(next);
}

}  // namespace
}  // namespace serialtap

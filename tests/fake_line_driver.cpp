#include "tests/fake_line_driver.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <thread>

namespace serialtap::test {

// Shared with the ioctl below, which every thread of the test may call.
struct FakeLineState {
    std::atomic<bool> faking{false};
    std::atomic<int> overruns{0};
    std::atomic<int> bufferOverruns{0};
    std::atomic<int> lines{-1};
    std::atomic<int> waiting{0};
    int changes[2] = {-1, -1};
};

namespace {

FakeLineState fake;

constexpr int kWaitMs = 30000;

bool isPtySlave(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    unsigned deviceMajor = major(info.st_rdev);
    return deviceMajor >= 136 && deviceMajor <= 143;
}

// Ends with EINTR when a signal comes, as the driver's wait does.
int waitForChange() {
    ++fake.waiting;
    pollfd change{fake.changes[0], POLLIN, 0};
    int ready = poll(&change, 1, kWaitMs);
    int code = errno;
    char byte = 0;
    if (ready > 0 && read(fake.changes[0], &byte, 1) == 1) {
        --fake.waiting;
        return 0;
    }
    --fake.waiting;
    errno = ready < 0 ? code : EIO;
    return -1;
}

}  // namespace

FakeLineDriver::FakeLineDriver() : state_(&fake) {
    if (state_->changes[0] < 0 && pipe2(state_->changes, O_CLOEXEC) != 0) {
        state_->changes[0] = state_->changes[1] = -1;
    }
    state_->overruns = state_->bufferOverruns = 0;
    state_->lines = -1;
    state_->faking = true;
}

FakeLineDriver::~FakeLineDriver() { state_->faking = false; }

void FakeLineDriver::counts(int overrun, int bufferOverrun) {
    state_->overruns = overrun;
    state_->bufferOverruns = bufferOverrun;
}

void FakeLineDriver::changeLines(int bits) {
    bool woken = state_->lines >= 0;
    state_->lines = bits;
    const char byte = 1;
    if (woken && write(state_->changes[1], &byte, 1) != 1) {
        ADD_FAILURE() << "the change was not made";
    }
}

bool FakeLineDriver::waitedIn(bool expected, std::chrono::seconds patience) const {
    auto giveUp = std::chrono::steady_clock::now() + patience;
    while ((state_->waiting > 0) != expected && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return (state_->waiting > 0) == expected;
}

}  // namespace serialtap::test

// Defined in the test program, this ioctl comes before the C library's for
// every call the program makes, the port's included.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    using namespace serialtap::test;
    using IoctlFunction = int (*)(int, unsigned long, ...);
    static IoctlFunction next = [] {
        IoctlFunction found = nullptr;
        void* symbol = dlsym(RTLD_NEXT, "ioctl");
        std::memcpy(&found, &symbol, sizeof found);
        return found;
    }();
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (fake.faking && isPtySlave(fd)) {
        if (request == TIOCGICOUNT) {
            serial_icounter_struct counts{};
            counts.overrun = fake.overruns;
            counts.buf_overrun = fake.bufferOverruns;
            std::memcpy(argument, &counts, sizeof counts);
            return 0;
        }
        if (request == TIOCMGET && fake.lines >= 0) {
            int bits = fake.lines;
            std::memcpy(argument, &bits, sizeof bits);
            return 0;
        }
        if (request == TIOCMIWAIT && fake.lines >= 0) return waitForChange();
    }
    return next(fd, request, argument);
}

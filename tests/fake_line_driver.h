#pragma once

// A pseudo-terminal has neither driver counts nor modem lines. While a
// FakeLineDriver lives, the ioctl requests for them on a pseudo-terminal
// slave are answered by it as a serial driver would: TIOCGICOUNT gives the
// counts set here, TIOCMGET the lines, and TIOCMIWAIT waits for the next
// change made here. Every other request goes to the C library.

#include <chrono>

namespace serialtap::test {

struct FakeLineState;

class FakeLineDriver {
public:
    FakeLineDriver();
    ~FakeLineDriver();
    FakeLineDriver(const FakeLineDriver&) = delete;
    FakeLineDriver& operator=(const FakeLineDriver&) = delete;

    // The counts TIOCGICOUNT gives from now on.
    void counts(int overrun, int bufferOverrun);
    // The lines TIOCMGET gives (TIOCM_* bits), waking a TIOCMIWAIT.
    void changeLines(int bits);
    // Whether a thread is in TIOCMIWAIT now, once the patience is over
    // when it should be.
    bool waitedIn(bool expected, std::chrono::seconds patience) const;

private:
    FakeLineState* state_;
};

}  // namespace serialtap::test

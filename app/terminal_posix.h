#pragma once

// What the console and the signal handlers share on POSIX: the handlers may
// have to give the terminal back (Ctrl+Z, a second stop request) while the
// capture loop is anywhere.

#include <csignal>

namespace serialtap::posix {

// Set by SIGCONT; the console then looks whether it has the foreground.
extern volatile std::sig_atomic_t continued;

// Puts back the terminal modes found when the keys were taken, but only while
// the capture has the foreground: in the background the shell owns them.
// Async-signal-safe.
void restoreTerminal();

// Keeps the handlers out while the console changes what they would restore.
// SIGTTOU and SIGTTIN stay deliverable, so a foreground check that went stale
// stops the process as the terminal asks instead of changing another job's modes.
class HandlersHeld {
public:
    HandlersHeld() {
        sigset_t held;
        sigfillset(&held);
        for (int kept : {SIGTTOU, SIGTTIN, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
            sigdelset(&held, kept);
        }
        sigprocmask(SIG_BLOCK, &held, &previous_);
    }
    ~HandlersHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    HandlersHeld(const HandlersHeld&) = delete;
    HandlersHeld& operator=(const HandlersHeld&) = delete;

private:
    sigset_t previous_{};
};

}  // namespace serialtap::posix

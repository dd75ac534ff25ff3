#pragma once

// Runs the built program as a user does: the serial device is a
// pseudo-terminal whose master side the test drives, and the console is
// another pseudo-terminal given to the program as its controlling terminal.
// The program is watched through /proc, so every wait is for a condition
// with a deadline, never a guess at how long something takes.

#include <gtest/gtest.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace serialtap::test {

using Clock = std::chrono::steady_clock;

// Long enough for a loaded CI machine; only a fault comes near it.
constexpr std::chrono::seconds kPatience{30};

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A directory of its own for each test, removed with what it holds.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// The serial device: a pseudo-terminal whose slave the program opens as its
// port and whose master stands for the far end of the line. On Linux the
// termios read or set on the master is the slave's, so the settings the
// program chose can be read back here.
class DevicePty {
public:
    DevicePty();

    int master() const { return master_.get(); }
    const std::string& portPath() const { return portPath_; }

    termios settings() const;
    void changeSettings(const termios& settings) const;

    // Writes every byte; the program must read them for room to free up.
    testing::AssertionResult send(const std::string& bytes,
                                  std::chrono::seconds patience = kPatience) const;

    // The far end goes away: the port reports a hang-up from now on.
    void hangUp() { master_.reset(); }

private:
    UniqueFd master_;
    std::string portPath_;
};

enum class ConsoleKind {
    Terminal,                   // a terminal window the user types into
    TerminalWithInputFromNull,  // the same, with standard input redirected from /dev/null
    None,                       // no controlling terminal, standard input from /dev/null
    // Started by a shell of the terminal as a job of its own: in the
    // background (with &), or in the foreground until sendToBackground().
    BackgroundJob,
    ForegroundJob,
};

// How the program is started beyond its arguments.
struct Launch {
    // A command the program is run through, such as nohup.
    std::vector<std::string> wrapper;
    // Called in the child just before the exec (system calls only), after
    // every signal has been set back to its default action.
    void (*inChild)() = nullptr;
    // Standard error goes to this file; otherwise to the console, or
    // without one to the test's own.
    std::string standardErrorFile;
};

// One run of the built program. With a terminal its standard output is the
// console screen; without one, a pipe the test collects. A run still going
// when the test ends is killed, so a failing test never hangs.
class Program {
public:
    explicit Program(const std::vector<std::string>& arguments,
                     ConsoleKind console = ConsoleKind::Terminal, const Launch& launch = {});
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }

    // The program blocks in poll() only once the port is open, configured
    // and purged and the console is set up: from then on it captures. Asked
    // again later, it tells that the program is back waiting for more.
    testing::AssertionResult waitCapturing(std::chrono::seconds patience = kPatience);

    // Waits until the program has read this many more bytes (port bytes and
    // keys alike) since the last such wait, or since it was last found
    // waiting by waitCapturing().
    testing::AssertionResult waitBytesRead(std::size_t count,
                                           std::chrono::seconds patience = kPatience);

    void type(const std::string& keys) const;
    // The user presses q; gives the exit status.
    int stopWithQ() {
        type("q");
        return waitExit();
    }
    // The user closes the terminal window: the terminal hangs up.
    void closeConsole();
    // The shell takes the terminal back with its line editing, as after
    // Ctrl+Z and bg, to run a command that reads its input later.
    testing::AssertionResult sendToBackground(std::chrono::seconds patience = kPatience);
    // fg: the job gets the terminal back and is continued.
    testing::AssertionResult bringToForeground(std::chrono::seconds patience = kPatience);
    // The console's settings when the program started and as they are now.
    const termios& consoleAtStart() const { return consoleAtStart_; }
    termios consoleNow() const;

    testing::AssertionResult waitOutputContains(const std::string& text,
                                                std::chrono::seconds patience = kPatience);
    // Everything shown so far; after the exit, everything the program showed.
    const std::string& output();
    // Keeps collecting what the program shows until the window is over.
    void watchOutputFor(std::chrono::milliseconds window);

    bool running();
    // The exit status, 128 + n for a death by signal n, -1 when the program
    // had to be killed for outliving its patience.
    int waitExit(std::chrono::seconds patience = kPatience);

    // CPU time used so far, user and system, in clock ticks.
    std::uint64_t cpuTicks() const;
    std::string sleepingIn() const;

private:
    std::optional<std::uint64_t> bytesReadSoFar() const;
    void collectOutput(int timeoutMs);
    bool reap(int options);

    void startJob(char* const argv[], bool foreground);
    std::string ending() const;

    pid_t pid_ = -1;    // the program
    pid_t child_ = -1;  // the program, or the shell that started it as a job
    UniqueFd shellCommands_;
    bool reaped_ = false;
    int status_ = 0;
    UniqueFd output_;  // console master, or the read end of the output pipe
    bool outputEnded_ = false;
    std::string collected_;
    termios consoleAtStart_{};
    std::uint64_t readMark_ = 0;
    // The bytes the program had read when it ended, taken before the reap.
    std::optional<std::uint64_t> readAtEnd_;
};

// Tells, from the CPU time a program used since the watch began, whether it
// waited or spun.
class CpuWatch {
public:
    explicit CpuWatch(const Program& program);
    double seconds() const;
    // At most a quarter of one CPU: far above what a waiting program uses and
    // far below what a spinning one gets, even on a loaded machine.
    testing::AssertionResult stayedIdle() const;

private:
    const Program& program_;
    Clock::time_point start_;
    std::uint64_t ticksAtStart_;
};

struct Finished {
    int status;
    std::string output;
};

// Runs the program without a console to its end, collecting what it prints.
Finished runToExit(const std::vector<std::string>& arguments);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

// What the capture file holds for these received bytes: each LF as CR LF.
// Mounts a tmpfs of the given size (as "256k") at a new folder, in a mount
// namespace of the test process's own; the reason to skip when it cannot.
std::optional<std::string> mountPrivateTmpfs(const std::string& folder, const char* size);

std::string withLineEndsExpanded(const std::string& received);
std::string everyByteValue();
std::string randomBytes(std::size_t count);
std::size_t countOf(const std::string& text, const std::string& part);

// A fresh device and a capture file for each test.
class PtyTest : public testing::Test {
protected:
    std::string capturePath() const { return dir_.file("capture.bin"); }
    std::vector<std::string> commandLine(const std::vector<std::string>& options = {}) const;
    std::string captured() const { return readFile(capturePath()); }
    // The device sends the bytes and the program has read them all.
    testing::AssertionResult deliver(Program& program, const std::string& bytes) const;

    ScratchDir dir_;
    DevicePty device_;
};

// Test listings show a case by its name. Brought into a test file's own
// namespace with a using-declaration, where argument lookup finds it.
template <typename Case>
auto operator<<(std::ostream& out, const Case& shown) -> decltype(out << shown.name) {
    return out << shown.name;
}

template <typename Case>
class PtyTestWithParam : public PtyTest, public testing::WithParamInterface<Case> {};

}  // namespace serialtap::test

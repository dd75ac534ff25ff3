// The capture as a job of a real interactive shell on a terminal: Ctrl+Z,
// bg, fg and & as users type them, with the shell's own handling of the
// terminal and of signals.

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

constexpr const char* kPrompt = "READY> ";

// Empty once the process is gone, which may happen in the middle of the read.
std::string procText(pid_t pid, const char* name) {
    UniqueFd file(
        open(("/proc/" + std::to_string(pid) + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    char chunk[1024];
    ssize_t got = 0;
    while (file.get() >= 0 && (got = read(file.get(), chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return got < 0 ? std::string() : text;
}

// The state letter of /proc/<pid>/stat; 0 once the process is gone.
char stateOf(pid_t pid) {
    std::string stat = procText(pid, "stat");
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return '\0';
    return stat[close + 2];
}

std::uint64_t bytesRead(pid_t pid) {
    std::istringstream io(procText(pid, "io"));
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") return value;
    }
    return 0;
}

// The ticker that watches for fg is a thread of its own, there only while
// the capture is in the background.
std::size_t threadsOf(pid_t pid) {
    std::error_code error;
    auto tasks =
        std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error);
    return static_cast<std::size_t>(std::distance(tasks, {}));
}

template <typename Condition>
testing::AssertionResult waitUntil(Condition condition, const std::string& what) {
    auto deadline = Clock::now() + kPatience;
    while (!condition()) {
        if (Clock::now() >= deadline) return testing::AssertionFailure() << "never: " << what;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return testing::AssertionSuccess();
}

// An interactive shell on a terminal of its own, typed into as a user does.
class Shell {
public:
    explicit Shell(std::vector<std::string> command) {
        std::vector<char*> argv;
        argv.reserve(command.size() + 1);
        for (std::string& word : command) argv.push_back(word.data());
        argv.push_back(nullptr);
        const char* environment[] = {"PATH=/usr/bin:/bin", "TERM=dumb", "PS1=READY> ",
                                     "HOME=/nonexistent", nullptr};
        winsize size{24, 80, 0, 0};
        int master = -1;
        pid_ = forkpty(&master, nullptr, nullptr, &size);
        if (pid_ == 0) {
            for (int signal = 1; signal < 32; ++signal) std::signal(signal, SIG_DFL);
            execve(argv[0], argv.data(), const_cast<char* const*>(environment));
            _exit(127);
        }
        master_.reset(master);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        fcntl(master, F_SETFD, FD_CLOEXEC);
    }

    ~Shell() {
        for (pid_t child : children()) kill(child, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

    void type(const std::string& keys) {
        ASSERT_EQ(static_cast<ssize_t>(keys.size()),
                  write(master_.get(), keys.data(), keys.size()));
    }

    // Waits for the text to be shown after what earlier waits found.
    testing::AssertionResult waitShown(const std::string& text) {
        auto deadline = Clock::now() + kPatience;
        for (;;) {
            std::size_t at = screen_.find(text, seen_);
            if (at != std::string::npos) {
                seen_ = at + text.size();
                return testing::AssertionSuccess();
            }
            if (Clock::now() >= deadline) {
                return testing::AssertionFailure()
                       << "\"" << text << "\" not shown in \"" << screen_.substr(seen_) << "\"";
            }
            char chunk[4096];
            ssize_t got = read(master_.get(), chunk, sizeof chunk);
            if (got > 0) screen_.append(chunk, static_cast<std::size_t>(got));
            if (got <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // The shell's job running the program, once it waits for data.
    testing::AssertionResult findCapture(pid_t& capture) {
        return waitUntil(
            [&] {
                for (pid_t child : children()) {
                    if (procText(child, "comm") == "serialtap\n" &&
                        procText(child, "wchan").find("poll") != std::string::npos) {
                        capture = child;
                        return true;
                    }
                }
                return false;
            },
            "the capture waiting for data");
    }

    termios modes() const {
        termios now{};
        tcgetattr(master_.get(), &now);
        return now;
    }
    bool takesKeys() const { return (modes().c_lflag & (ICANON | ECHO)) == 0; }
    pid_t foreground() const { return tcgetpgrp(master_.get()); }

private:
    std::vector<pid_t> children() const {
        std::vector<pid_t> found;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
            auto pid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
            if (pid <= 0) continue;
            std::string stat = procText(pid, "stat");
            std::size_t close = stat.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream fields(stat.substr(close + 2));
            char state = 0;
            pid_t parent = 0;
            if (fields >> state >> parent && parent == pid_) found.push_back(pid);
        }
        return found;
    }

    pid_t pid_ = -1;
    UniqueFd master_;
    std::string screen_;
    std::size_t seen_ = 0;
};

class JobControlShellTest : public PtyTest {
protected:
    std::string captureCommand() const {
        return std::string(SERIALTAP_EXE) + " " + capturePath() + " -c " + device_.portPath();
    }

    testing::AssertionResult deliverTo(pid_t capture, const std::string& bytes) {
        std::uint64_t before = bytesRead(capture);
        testing::AssertionResult sent = device_.send(bytes);
        if (!sent) return sent;
        return waitUntil([&] { return bytesRead(capture) >= before + bytes.size(); },
                         "the capture read what was sent");
    }

    // q, then the shell tells the job's status.
    static void stopWithQ(Shell& shell, pid_t capture) {
        shell.type("q");
        ASSERT_TRUE(waitUntil([&] { return stateOf(capture) == 0 || stateOf(capture) == 'Z'; },
                              "the capture ended on q"));
        ASSERT_TRUE(shell.waitShown(kPrompt));
        shell.type("echo status=$?\r");
        EXPECT_TRUE(shell.waitShown("status=0"));
    }

    // Ctrl+Z at a capture in the foreground; the shell's prompt follows.
    static void suspend(Shell& shell, pid_t capture) {
        ASSERT_TRUE(waitUntil([&] { return shell.takesKeys(); }, "keys taken"));
        shell.type("\x1a");
        ASSERT_TRUE(waitUntil([&] { return stateOf(capture) == 'T'; }, "stopped by Ctrl+Z"));
    }

    static std::vector<std::string> bash() {
        return {"/bin/bash", "--norc", "--noprofile", "--noediting", "-i"};
    }
};

// fg gives a job that runs after bg the terminal without a signal.
TEST_F(JobControlShellTest, QStopsACaptureBroughtBackAfterCtrlZAndBg) {
    Shell shell(bash());
    ASSERT_TRUE(shell.waitShown(kPrompt));
    shell.type(captureCommand() + "\r");
    pid_t capture = -1;
    ASSERT_TRUE(shell.findCapture(capture));
    ASSERT_NO_FATAL_FAILURE(suspend(shell, capture));
    ASSERT_TRUE(shell.waitShown(kPrompt));
    shell.type("bg\r");
    ASSERT_TRUE(shell.waitShown(kPrompt));
    ASSERT_TRUE(waitUntil([&] { return stateOf(capture) == 'S'; }, "running in the background"));
    EXPECT_TRUE(waitUntil([&] { return threadsOf(capture) == 2; }, "a ticker in the background"));

    shell.type("fg\r");
    ASSERT_TRUE(waitUntil([&] { return shell.foreground() == capture && shell.takesKeys(); },
                          "keys taken again after fg"));
    EXPECT_TRUE(waitUntil([&] { return threadsOf(capture) == 1; }, "the ticker gone after fg"));
    ASSERT_TRUE(deliverTo(capture, "after fg\n"));
    ASSERT_NO_FATAL_FAILURE(stopWithQ(shell, capture));
    EXPECT_EQ("after fg\r\n", captured());
}

TEST_F(JobControlShellTest, QStopsACaptureStartedWithAmpersandAndBroughtBack) {
    Shell shell(bash());
    ASSERT_TRUE(shell.waitShown(kPrompt));
    shell.type(captureCommand() + " &\r");
    pid_t capture = -1;
    ASSERT_TRUE(shell.findCapture(capture));
    ASSERT_TRUE(shell.waitShown(kPrompt));
    EXPECT_FALSE(shell.takesKeys()) << "a job in the background took the keys";

    shell.type("fg\r");
    ASSERT_TRUE(waitUntil([&] { return shell.foreground() == capture && shell.takesKeys(); },
                          "keys taken after fg"));
    ASSERT_TRUE(deliverTo(capture, "after fg\n"));
    ASSERT_NO_FATAL_FAILURE(stopWithQ(shell, capture));
    EXPECT_EQ("after fg\r\n", captured());
}

// The terminal's modes belong to the foreground job; a capture ending in the
// background must not give its own saved modes back over them.
TEST_F(JobControlShellTest, BackgroundCaptureEndingLeavesTheForegroundJobsModes) {
    Shell shell(bash());
    ASSERT_TRUE(shell.waitShown(kPrompt));
    shell.type(captureCommand() + "\r");
    pid_t capture = -1;
    ASSERT_TRUE(shell.findCapture(capture));
    ASSERT_NO_FATAL_FAILURE(suspend(shell, capture));
    ASSERT_TRUE(shell.waitShown(kPrompt));
    shell.type("bg\r");
    ASSERT_TRUE(shell.waitShown(kPrompt));
    ASSERT_TRUE(deliverTo(capture, "in the background\n"));

    // A full-screen program: keys without Enter and no echo, like the capture.
    shell.type("stty -icanon -echo; sleep 600\r");
    ASSERT_TRUE(waitUntil([&] { return shell.takesKeys() && shell.foreground() != capture; },
                          "sleep running"));
    kill(capture, SIGTERM);
    ASSERT_TRUE(waitUntil([&] { return stateOf(capture) == 0 || stateOf(capture) == 'Z'; },
                          "the capture ended"));
    EXPECT_TRUE(shell.takesKeys()) << "the foreground program's modes were overwritten";
    EXPECT_EQ("in the background\r\n", captured());
}

// Under stty tostop the terminal stops a background job that writes to it;
// the capture used to stop at its first message and capture no more.
TEST_F(JobControlShellTest, BackgroundCaptureUnderTostopKeepsItsMessagesForFg) {
    Shell shell(bash());
    ASSERT_TRUE(shell.waitShown(kPrompt));
    shell.type("stty tostop\r");
    ASSERT_TRUE(shell.waitShown(kPrompt));
    shell.type(std::string(SERIALTAP_EXE) + " /dev/full -c " + device_.portPath() + " &\r");
    pid_t capture = -1;
    ASSERT_TRUE(shell.findCapture(capture));
    ASSERT_TRUE(shell.waitShown(kPrompt));
    // A write-out into the full device fails with a message.
    ASSERT_TRUE(deliverTo(capture, std::string(5000, 'x')));
    ASSERT_TRUE(deliverTo(capture, std::string(5000, 'y'))) << "state " << stateOf(capture);

    shell.type("fg\r");
    EXPECT_TRUE(shell.waitShown("Error: Can't write the file: 28"));
    ASSERT_TRUE(waitUntil([&] { return shell.foreground() == capture && shell.takesKeys(); },
                          "keys taken after fg"));
    shell.type("q");
    ASSERT_TRUE(waitUntil([&] { return stateOf(capture) == 0 || stateOf(capture) == 'Z'; },
                          "the capture ended on q"));
    ASSERT_TRUE(shell.waitShown(kPrompt));
    shell.type("echo status=$?\r");
    EXPECT_TRUE(shell.waitShown("status=1"));
}

// dash keeps whatever modes a stopped job leaves, so the capture itself must
// give the terminal back before it stops.
TEST_F(JobControlShellTest, CtrlZGivesThePromptItsEchoAndFgTakesKeysAgain) {
    Shell shell({"/bin/dash", "-i"});
    ASSERT_TRUE(shell.waitShown(kPrompt));
    shell.type(captureCommand() + "\r");
    pid_t capture = -1;
    ASSERT_TRUE(shell.findCapture(capture));
    ASSERT_NO_FATAL_FAILURE(suspend(shell, capture));
    EXPECT_EQ(static_cast<tcflag_t>(ICANON | ECHO), shell.modes().c_lflag & (ICANON | ECHO));

    ASSERT_TRUE(shell.waitShown(kPrompt));
    shell.type("fg\r");
    ASSERT_TRUE(waitUntil([&] { return shell.foreground() == capture && shell.takesKeys(); },
                          "keys taken again after fg"));
    ASSERT_TRUE(deliverTo(capture, "after fg\n"));
    ASSERT_NO_FATAL_FAILURE(stopWithQ(shell, capture));
    EXPECT_EQ("after fg\r\n", captured());
}

}  // namespace
}  // namespace serialtap::test

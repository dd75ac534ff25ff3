#include "tests/pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>

namespace serialtap::test {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void setFlags(int fd, int statusFlags) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | statusFlags);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The settings a new terminal starts with: line editing, echo, signals.
termios freshTerminalSettings() {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throwErrno("openpty");
    termios settings{};
    tcgetattr(slave, &settings);
    close(slave);
    close(master);
    return settings;
}

std::string readProcFile(pid_t pid, const char* name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs in the child between fork and exec, so it only makes system calls.
[[noreturn]] void execProgram(char* const argv[], bool inputFromNull, void (*inChild)() = nullptr,
                              const char* errorFile = nullptr) {
    if (errorFile != nullptr) {
        int file = open(errorFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (file >= 0) dup2(file, STDERR_FILENO);
    }
    if (inputFromNull) {
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, STDIN_FILENO);
    }
    // An ignored signal stays ignored across exec: a parent that ignores
    // these would hide what they do to the program.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    // A blocked signal stays blocked across exec; the program must get them.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal = 1; signal < 32; ++signal) std::signal(signal, SIG_DFL);
    if (inChild != nullptr) inChild();
    execv(argv[0], argv);
    _exit(127);
}

// Plays the shell of the terminal: starts the program as a job in a process
// group of its own, takes the terminal back with its own modes on request,
// and ends with the program's status. Runs between fork and _exit, system calls only.
[[noreturn]] void runShell(char* const argv[], bool foreground, int report, int commands) {
    // A background process group may take the terminal only with this blocked.
    sigset_t terminalOutput;
    sigemptyset(&terminalOutput);
    sigaddset(&terminalOutput, SIGTTOU);
    sigprocmask(SIG_BLOCK, &terminalOutput, nullptr);
    termios shellModes{};
    tcgetattr(STDIN_FILENO, &shellModes);
    pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        if (foreground) tcsetpgrp(STDIN_FILENO, getpgrp());
        execProgram(argv, false);
    }
    setpgid(job, job);
    [[maybe_unused]] ssize_t sent = write(report, &job, sizeof job);
    close(report);
    char command = 0;
    while (read(commands, &command, 1) == 1) {
        if (command == 'f') {
            // fg: the job gets the terminal back and is continued.
            tcsetpgrp(STDIN_FILENO, job);
            kill(-job, SIGCONT);
            continue;
        }
        // As a shell does for its next command: the modes it started with.
        tcsetattr(STDIN_FILENO, TCSADRAIN, &shellModes);
        tcsetpgrp(STDIN_FILENO, getpgrp());
    }
    int status = 0;
    while (waitpid(job, &status, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

std::string describeStatus(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended with wait status " + std::to_string(status);
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
}

int UniqueFd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

ScratchDir::ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "serialtap-pty-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throwErrno("mkdtemp");
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

DevicePty::DevicePty() {
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master_.get() < 0) throwErrno("posix_openpt");
    if (grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) throwErrno("unlockpt");
    char name[128];
    if (ptsname_r(master_.get(), name, sizeof name) != 0) throwErrno("ptsname_r");
    portPath_ = name;
    // Writes wait in poll() with a deadline instead of blocking for good.
    setFlags(master_.get(), O_NONBLOCK);
}

termios DevicePty::settings() const {
    termios settings{};
    if (tcgetattr(master_.get(), &settings) != 0) throwErrno("tcgetattr");
    return settings;
}

void DevicePty::changeSettings(const termios& settings) const {
    if (tcsetattr(master_.get(), TCSANOW, &settings) != 0) throwErrno("tcsetattr");
}

testing::AssertionResult DevicePty::send(const std::string& bytes,
                                         std::chrono::seconds patience) const {
    auto deadline = Clock::now() + patience;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t written = write(master_.get(), bytes.data() + sent, bytes.size() - sent);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return testing::AssertionFailure()
                   << "writing to the device failed with errno " << errno << " after " << sent
                   << " of " << bytes.size() << " bytes";
        }
        if (Clock::now() >= deadline) {
            return testing::AssertionFailure() << "the program took only " << sent << " of "
                                               << bytes.size() << " bytes sent to the device";
        }
        pollfd ready{master_.get(), POLLOUT, 0};
        poll(&ready, 1, std::min(millisecondsUntil(deadline), 100));
    }
    return testing::AssertionSuccess();
}

Program::Program(const std::vector<std::string>& arguments, ConsoleKind console,
                 const Launch& launch) {
    const char* errorFile =
        launch.standardErrorFile.empty() ? nullptr : launch.standardErrorFile.c_str();
    std::vector<std::string> words = launch.wrapper;
    words.emplace_back(SERIALTAP_EXE);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    if (console == ConsoleKind::None) {
        int pipeEnds[2];
        if (pipe2(pipeEnds, O_CLOEXEC) != 0) throwErrno("pipe2");
        pid_ = fork();
        if (pid_ < 0) throwErrno("fork");
        if (pid_ == 0) {
            // A session of its own has no controlling terminal.
            setsid();
            dup2(pipeEnds[1], STDOUT_FILENO);
            execProgram(argv.data(), true, launch.inChild, errorFile);
        }
        close(pipeEnds[1]);
        output_.reset(pipeEnds[0]);
    } else if (console == ConsoleKind::BackgroundJob || console == ConsoleKind::ForegroundJob) {
        startJob(argv.data(), console == ConsoleKind::ForegroundJob);
    } else {
        consoleAtStart_ = freshTerminalSettings();
        winsize size{24, 80, 0, 0};
        int master = -1;
        pid_ = forkpty(&master, nullptr, &consoleAtStart_, &size);
        if (pid_ < 0) throwErrno("forkpty");
        if (pid_ == 0) {
            execProgram(argv.data(), console == ConsoleKind::TerminalWithInputFromNull,
                        launch.inChild, errorFile);
        }
        output_.reset(master);
    }
    if (child_ < 0) child_ = pid_;
    // Later children must not hold this end open.
    setFlags(output_.get(), O_NONBLOCK);
}

void Program::startJob(char* const argv[], bool foreground) {
    int report[2];
    int commands[2];
    if (pipe2(report, O_CLOEXEC) != 0) throwErrno("pipe2");
    // A socket, so that a command to a shell already gone cannot raise SIGPIPE.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, commands) != 0) {
        throwErrno("socketpair");
    }
    consoleAtStart_ = freshTerminalSettings();
    winsize size{24, 80, 0, 0};
    int master = -1;
    child_ = forkpty(&master, nullptr, &consoleAtStart_, &size);
    if (child_ < 0) throwErrno("forkpty");
    if (child_ == 0) {
        // The shell sees the end of the commands only when no writer is left.
        close(commands[1]);
        close(report[0]);
        runShell(argv, foreground, report[1], commands[0]);
    }
    output_.reset(master);
    close(report[1]);
    close(commands[0]);
    shellCommands_.reset(commands[1]);
    UniqueFd reported(report[0]);
    if (read(reported.get(), &pid_, sizeof pid_) != sizeof pid_) throwErrno("starting the job");
}

testing::AssertionResult Program::sendToBackground(std::chrono::seconds patience) {
    char command = 'b';
    if (send(shellCommands_.get(), &command, 1, MSG_NOSIGNAL) != 1) {
        return testing::AssertionFailure() << "the shell is gone";
    }
    auto deadline = Clock::now() + patience;
    while (tcgetpgrp(output_.get()) == pid_) {
        if (Clock::now() >= deadline) {
            return testing::AssertionFailure() << "the program kept the terminal";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult Program::bringToForeground(std::chrono::seconds patience) {
    char command = 'f';
    if (send(shellCommands_.get(), &command, 1, MSG_NOSIGNAL) != 1) {
        return testing::AssertionFailure() << "the shell is gone";
    }
    auto deadline = Clock::now() + patience;
    while (tcgetpgrp(output_.get()) != pid_) {
        if (Clock::now() >= deadline) {
            return testing::AssertionFailure() << "the program did not get the terminal";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return testing::AssertionSuccess();
}

Program::~Program() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        if (child_ != pid_) kill(child_, SIGKILL);
        reap(0);
    }
}

bool Program::reap(int options) {
    if (reaped_) return true;
    // The shell of a job waits for its commands until told there are no more.
    if (options == 0) shellCommands_.reset();
    // Ended, the program is a zombie until reaped, and its count of bytes
    // read can still be read: it is kept, for a wait for bytes that asks
    // after the end, when /proc no longer has it.
    siginfo_t ended{};
    int found;
    do {
        found = waitid(P_PID, static_cast<id_t>(child_), &ended,
                       WEXITED | WNOWAIT | (options & WNOHANG));
    } while (found < 0 && errno == EINTR);
    if (found != 0 || ended.si_pid != child_) return false;
    readAtEnd_ = bytesReadSoFar();
    pid_t got;
    do {
        got = waitpid(child_, &status_, 0);
    } while (got < 0 && errno == EINTR);
    reaped_ = got == child_;
    return reaped_;
}

bool Program::running() {
    if (reap(WNOHANG)) return false;
    if (child_ == pid_) return true;
    // A job that has ended stays a zombie until its shell is done.
    std::string stat = readProcFile(pid_, "stat");
    std::size_t state = stat.rfind(')') + 2;
    return state < stat.size() && stat[state] != 'Z' && stat[state] != 'X';
}

std::string Program::ending() const {
    return reaped_ ? describeStatus(status_) : std::string("ended");
}

std::optional<std::uint64_t> Program::bytesReadSoFar() const {
    if (reaped_) return readAtEnd_;
    std::istringstream io(readProcFile(pid_, "io"));
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") return value;
    }
    return std::nullopt;
}

std::string Program::sleepingIn() const { return readProcFile(pid_, "wchan"); }

std::uint64_t Program::cpuTicks() const {
    std::string stat = readProcFile(pid_, "stat");
    // The command name may hold spaces; the fields after it do not.
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
    // Fields 14 and 15 of the line, utime and stime; the state is field 3.
    if (field.size() < 13) return 0;
    return std::stoull(field[11]) + std::stoull(field[12]);
}

testing::AssertionResult Program::waitCapturing(std::chrono::seconds patience) {
    auto deadline = Clock::now() + patience;
    for (;;) {
        collectOutput(0);
        if (!running()) {
            return testing::AssertionFailure()
                   << "the program " << ending() << " before capturing; it showed \"" << output()
                   << "\"";
        }
        if (sleepingIn().find("poll") != std::string::npos) {
            auto count = bytesReadSoFar();
            if (!count) return testing::AssertionFailure() << "/proc/<pid>/io is unreadable";
            readMark_ = *count;
            return testing::AssertionSuccess();
        }
        if (Clock::now() >= deadline) {
            return testing::AssertionFailure()
                   << "the program did not start capturing; it is in \"" << sleepingIn() << "\"";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

testing::AssertionResult Program::waitBytesRead(std::size_t count, std::chrono::seconds patience) {
    auto deadline = Clock::now() + patience;
    std::uint64_t target = readMark_ + count;
    for (;;) {
        collectOutput(0);
        auto sofar = bytesReadSoFar();
        if (sofar && *sofar >= target) {
            readMark_ = target;
            return testing::AssertionSuccess();
        }
        if (!running()) {
            // It may have read them since the sample above, and ended.
            sofar = bytesReadSoFar();
            if (sofar && *sofar >= target) {
                readMark_ = target;
                return testing::AssertionSuccess();
            }
            return testing::AssertionFailure()
                   << "the program " << ending() << " before reading " << count << " bytes";
        }
        if (Clock::now() >= deadline) {
            return testing::AssertionFailure()
                   << "the program read " << (sofar ? *sofar - readMark_ : 0) << " of " << count
                   << " bytes";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Program::type(const std::string& keys) const {
    std::size_t sent = 0;
    while (sent < keys.size()) {
        ssize_t written = write(output_.get(), keys.data() + sent, keys.size() - sent);
        if (written < 0 && errno != EAGAIN && errno != EINTR) throwErrno("typing");
        if (written > 0) sent += static_cast<std::size_t>(written);
    }
}

void Program::closeConsole() {
    output_.reset();
    outputEnded_ = true;
}

termios Program::consoleNow() const {
    termios settings{};
    if (tcgetattr(output_.get(), &settings) != 0) throwErrno("tcgetattr on the console");
    return settings;
}

void Program::collectOutput(int timeoutMs) {
    if (outputEnded_) return;
    pollfd ready{output_.get(), POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) <= 0) return;
    char chunk[4096];
    for (;;) {
        ssize_t got = read(output_.get(), chunk, sizeof chunk);
        if (got > 0) {
            collected_.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        // A console whose program has gone gives EIO, a pipe gives end of file.
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) outputEnded_ = true;
        return;
    }
}

const std::string& Program::output() {
    if (!reaped_) {
        collectOutput(0);
        return collected_;
    }
    auto deadline = Clock::now() + kPatience;
    while (!outputEnded_ && Clock::now() < deadline) collectOutput(100);
    return collected_;
}

void Program::watchOutputFor(std::chrono::milliseconds window) {
    auto deadline = Clock::now() + window;
    while (!outputEnded_ && Clock::now() < deadline) collectOutput(millisecondsUntil(deadline));
    if (outputEnded_) std::this_thread::sleep_until(deadline);
}

testing::AssertionResult Program::waitOutputContains(const std::string& text,
                                                     std::chrono::seconds patience) {
    auto deadline = Clock::now() + patience;
    for (;;) {
        collectOutput(std::min(millisecondsUntil(deadline), 100));
        if (collected_.find(text) != std::string::npos) return testing::AssertionSuccess();
        if (outputEnded_ || Clock::now() >= deadline) {
            return testing::AssertionFailure()
                   << "\"" << text << "\" never shown; the program showed \"" << collected_ << "\"";
        }
    }
}

int Program::waitExit(std::chrono::seconds patience) {
    auto deadline = Clock::now() + patience;
    shellCommands_.reset();
    while (!reap(WNOHANG)) {
        if (Clock::now() >= deadline) {
            ADD_FAILURE() << "the program still ran after " << patience.count() << " s, in \""
                          << sleepingIn() << "\"; killed";
            kill(pid_, SIGKILL);
            if (child_ != pid_) kill(child_, SIGKILL);
            reap(0);
            return -1;
        }
        // Reading the screen meanwhile keeps a chatty program from blocking.
        if (outputEnded_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else {
            collectOutput(5);
        }
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    return 128 + WTERMSIG(status_);
}

CpuWatch::CpuWatch(const Program& program)
    : program_(program), start_(Clock::now()), ticksAtStart_(program.cpuTicks()) {}

double CpuWatch::seconds() const {
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

testing::AssertionResult CpuWatch::stayedIdle() const {
    double elapsed = seconds();
    std::uint64_t ticks = program_.cpuTicks() - ticksAtStart_;
    double allowed = elapsed * static_cast<double>(sysconf(_SC_CLK_TCK)) / 4;
    if (static_cast<double>(ticks) <= allowed) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the program used " << ticks << " CPU ticks in "
                                       << elapsed << " s, more than " << allowed;
}

Finished runToExit(const std::vector<std::string>& arguments) {
    Program program(arguments, ConsoleKind::None);
    int status = program.waitExit();
    return {status, program.output()};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

std::optional<std::string> mountPrivateTmpfs(const std::string& folder, const char* size) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return "no mount namespace here";
    }
    const std::string options = std::string("size=") + size;
    if (mkdir(folder.c_str(), 0700) != 0 ||
        mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        return "cannot mount a small file system";
    }
    return std::nullopt;
}

std::string withLineEndsExpanded(const std::string& received) {
    std::string stored;
    for (char byte : received) {
        if (byte == '\n') stored += '\r';
        stored += byte;
    }
    return stored;
}

std::string everyByteValue() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
    return bytes;
}

std::string randomBytes(std::size_t count) {
    // Fixed, so that a failure can be reproduced.
    std::mt19937 generator(20240611u);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(count, '\0');
    for (char& value : bytes) value = static_cast<char>(byte(generator));
    return bytes;
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

testing::AssertionResult PtyTest::deliver(Program& program, const std::string& bytes) const {
    testing::AssertionResult sent = device_.send(bytes);
    if (!sent) return sent;
    return program.waitBytesRead(bytes.size());
}

std::vector<std::string> PtyTest::commandLine(const std::vector<std::string>& options) const {
    std::vector<std::string> words{capturePath(), "-c", device_.portPath()};
    words.insert(words.end(), options.begin(), options.end());
    return words;
}

}  // namespace serialtap::test

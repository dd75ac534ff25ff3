// The virtual serial device, run as users and scripts run it: its one line
// of standard output, what arrives at the port it offers, and how it ends.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPatience{5000};
// The default line: 80 printable characters and CR LF.
constexpr std::size_t kLineBytes = 82;

// Reads what is there within the time left; false at the deadline or end.
bool readSome(int fd, std::string& into, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return false;
    }
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left)) <= 0) {
        return false;
    }
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) {
        return false;
    }
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
}

std::string readExactly(int fd, std::size_t size, milliseconds patience = kPatience) {
    std::string data;
    const Clock::time_point deadline = Clock::now() + patience;
    while (data.size() < size && readSome(fd, data, deadline)) {
    }
    return data;
}

// The device program with its standard output and error on pipes.
class DeviceProcess {
public:
    explicit DeviceProcess(const std::vector<std::string>& options) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(out[0]);
            close(err[0]);
            std::vector<char*> argv;
            std::string program = VIRTUAL_DEVICE_EXE;
            argv.push_back(program.data());
            std::vector<std::string> copies = options;
            for (std::string& option : copies) {
                argv.push_back(option.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        stdout_ = out[0];
        stderr_ = err[0];
    }

    ~DeviceProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        closeFd(port_);
        closeFd(stdout_);
        closeFd(stderr_);
    }

    // The first line of standard output, without its line end.
    std::string portPath() {
        std::string text;
        const Clock::time_point deadline = Clock::now() + kPatience;
        while (text.find('\n') == std::string::npos && readSome(stdout_, text, deadline)) {
        }
        const std::size_t end = text.find('\n');
        EXPECT_NE(end, std::string::npos) << "no line on standard output: " << text;
        extraOutput_ = end == std::string::npos ? "" : text.substr(end + 1);
        return text.substr(0, end);
    }

    int openPort() { return openPort(portPath()); }

    int openPort(const std::string& path) {
        port_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(port_, 0) << "cannot open the port";
        return port_;
    }

    void closePort() { closeFd(port_); }

    // The exit status, or -1 when the device has not ended within the time.
    int waitForExit(milliseconds patience = kPatience) {
        const Clock::time_point deadline = Clock::now() + patience;
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        return -1;
    }

    void signal(int number) { kill(pid_, number); }

    // Everything written to standard output after the port path; read once
    // the device has ended.
    std::string restOfOutput() { return extraOutput_ + drain(stdout_); }
    std::string errorOutput() { return drain(stderr_); }

private:
    static void closeFd(int& fd) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }

    static std::string drain(int fd) {
        std::string text;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int stdout_ = -1;
    int stderr_ = -1;
    int port_ = -1;
    std::string extraOutput_;
};

std::string writeTemporaryFile(const std::string& contents) {
    char name[] = "/tmp/virtual-device-test-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    close(fd);
    return name;
}

TEST(VirtualDeviceOutput, PrintsOnlyThePortPathAndSendsNumberedPrintableLines) {
    DeviceProcess device({"--interval", "20"});
    const int port = device.openPort();
    ASSERT_GE(port, 0);
    // The first line may have been sent before the open; a line sent after
    // it is whole, so the second line end marks where a full line starts.
    const std::string data = readExactly(port, 3 * kLineBytes);
    const std::size_t start = data.find("\r\n") + 2;
    ASSERT_GE(data.size(), start + kLineBytes) << data;
    const std::string line = data.substr(start, kLineBytes);
    EXPECT_EQ(line.substr(80), "\r\n");
    for (std::size_t i = 0; i < 80; ++i) {
        const bool printable = line[i] > ' ' && line[i] <= '~';
        EXPECT_TRUE(printable || (i == 6 && line[i] == ' ')) << "character " << i << ": " << line;
    }
    const std::string next = data.substr(start + kLineBytes, 6);
    EXPECT_EQ(std::atoi(next.c_str()), std::atoi(line.substr(0, 6).c_str()) + 1)
        << "lines are numbered one after another: " << line << " / " << next;

    device.signal(SIGTERM);
    EXPECT_EQ(device.waitForExit(), 0);
    EXPECT_EQ(device.restOfOutput(), "");
}

TEST(VirtualDeviceOutput, EndsCleanlyOnInterruptAndHangUp) {
    for (const int number : {SIGINT, SIGHUP}) {
        DeviceProcess device({});
        EXPECT_EQ(device.portPath().rfind("/dev/", 0), 0u);
        device.signal(number);
        EXPECT_EQ(device.waitForExit(), 0) << "signal " << number;
    }
}

TEST(VirtualDeviceOutput, EndsPromptlyOnInterruptWhileNobodyDrainsAFullPort) {
    DeviceProcess device({"--random"});
    device.portPath();
    // Long enough for the pseudo-terminal's queue to fill many times over.
    std::this_thread::sleep_for(milliseconds(300));
    device.signal(SIGINT);
    EXPECT_EQ(device.waitForExit(milliseconds(1000)), 0);
}

TEST(VirtualDeviceCount, StopsAfterTheGivenNumberOfLinesOnceTheyAreRead) {
    DeviceProcess device({"--line", "hello", "--interval", "0", "--count", "3"});
    const int port = device.openPort();
    ASSERT_GE(port, 0);
    EXPECT_EQ(readExactly(port, 100, milliseconds(500)), "hello\r\nhello\r\nhello\r\n");
    EXPECT_EQ(device.waitForExit(), 0);
}

TEST(VirtualDeviceCount, SendsTheGivenNumberOfRandomBytes) {
    DeviceProcess device({"--random", "--count", "10000"});
    const int port = device.openPort();
    ASSERT_GE(port, 0);
    const std::string data = readExactly(port, 20000, milliseconds(500));
    EXPECT_EQ(data.size(), 10000u);
    EXPECT_GT(std::set<char>(data.begin(), data.end()).size(), 200u);
    EXPECT_EQ(device.waitForExit(), 0);
}

TEST(VirtualDeviceCount, ReplaysAFileUnchangedIncludingControlBytes) {
    std::string contents;
    for (int value = 0; value < 256; ++value) {
        contents.push_back(static_cast<char>(value));
    }
    contents += "\r\n\n\r\x11\x13\x03\x04\x1a\x7f";
    const std::string path = writeTemporaryFile(contents);
    DeviceProcess device({"--file", path, "--interval", "0", "--count", "2"});
    const int port = device.openPort();
    ASSERT_GE(port, 0);
    EXPECT_EQ(readExactly(port, 2 * contents.size() + 1, milliseconds(500)), contents + contents);
    EXPECT_EQ(device.waitForExit(), 0);
    unlink(path.c_str());
}

TEST(VirtualDevicePacing, KeepsTheIntervalBetweenLines) {
    DeviceProcess device({"--line", "x", "--interval", "150", "--count", "3"});
    const int port = device.openPort();
    ASSERT_GE(port, 0);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(readExactly(port, 9), "x\r\nx\r\nx\r\n");
    EXPECT_GE(Clock::now() - start, milliseconds(250));
    EXPECT_EQ(device.waitForExit(), 0);
}

TEST(VirtualDevicePacing, HoldsToTheRateLimit) {
    // 9600 baud at 10 bits a character: 960 bytes a second.
    DeviceProcess device({"--random", "--baud", "9600", "--count", "480"});
    const int port = device.openPort();
    ASSERT_GE(port, 0);
    std::string data = readExactly(port, 1);
    const Clock::time_point first = Clock::now();
    data += readExactly(port, 480 - data.size(), milliseconds(250));
    EXPECT_LT(data.size(), 320u) << "more than the rate allows arrived in a quarter second";
    data += readExactly(port, 480 - data.size());
    EXPECT_EQ(data.size(), 480u);
    EXPECT_GE(Clock::now() - first, milliseconds(400));
    EXPECT_EQ(device.waitForExit(), 0);
}

TEST(VirtualDeviceWaitOpen, SendsNothingUntilThePortIsOpenedAndLosesNothingAfter) {
    DeviceProcess device({"--wait-open", "--interval", "0", "--count", "4"});
    const std::string path = device.portPath();
    std::this_thread::sleep_for(milliseconds(300));
    const int port = device.openPort(path);
    ASSERT_GE(port, 0);
    // A reader purges the port after configuring it, which takes it a moment;
    // by then the device must not have sent any of the counted lines.
    std::this_thread::sleep_for(milliseconds(50));
    tcflush(port, TCIOFLUSH);
    const std::string data = readExactly(port, 4 * kLineBytes);
    ASSERT_EQ(data.size(), 4 * kLineBytes) << data;
    EXPECT_EQ(readExactly(port, 1, milliseconds(100)), "");
    EXPECT_EQ(data.substr(0, 7), "000000 ");
    EXPECT_EQ(data.substr(3 * kLineBytes, 7), "000003 ");
    // With the count sent, the device ends when the reader closes the port.
    EXPECT_EQ(device.waitForExit(milliseconds(100)), -1);
    device.closePort();
    EXPECT_EQ(device.waitForExit(), 0);
}

TEST(VirtualDeviceOptions, RejectsBadOptionsWithUsageOnStandardError) {
    const std::vector<std::vector<std::string>> badOptionSets = {
        {"--count", "0"},
        {"--count", "many"},
        {"--rate", "-5"},
        {"--interval"},
        {"--random", "--line", "x"},
        {"--random", "--interval", "10"},
        {"--bogus"},
        {"extra"},
        {"--file", "/nonexistent/replay"},
    };
    for (const std::vector<std::string>& options : badOptionSets) {
        DeviceProcess device(options);
        const int status = device.waitForExit();
        EXPECT_NE(status, 0) << options[0];
        EXPECT_NE(status, -1) << options[0];
        EXPECT_EQ(device.restOfOutput(), "") << options[0];
        EXPECT_NE(device.errorOutput(), "") << options[0];
    }
}

}  // namespace

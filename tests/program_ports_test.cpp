// Several ports in one capture, as a user runs it: each port a
// pseudo-terminal, the devices' bytes sent at known moments.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using std::chrono::milliseconds;

std::string labelOf(const DevicePty& device) { return device.portPath().substr(5); }

class PortsTest : public testing::Test {
protected:
    void openPorts(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) devices_.push_back(std::make_unique<DevicePty>());
    }
    std::vector<std::string> commandLine(const std::vector<std::string>& options) const {
        std::vector<std::string> line{capture_, "-c", devices_[0]->portPath()};
        for (std::size_t i = 1; i < devices_.size(); ++i) {
            line.emplace_back("-l");
            line.push_back(devices_[i]->portPath());
        }
        line.insert(line.end(), options.begin(), options.end());
        return line;
    }
    // Each part is read before the next is sent, so the order is known.
    void sendInTurn(Program& program,
                    const std::vector<std::pair<std::size_t, std::string>>& parts) {
        for (const auto& [port, bytes] : parts) {
            ASSERT_TRUE(devices_[port]->send(bytes));
            ASSERT_TRUE(program.waitBytesRead(bytes.size()));
        }
    }
    // The streams tools/hex-streams.py recovers from the capture, by label.
    std::string recovered(const std::string& label) const {
        std::string out = dir_.file("streams");
        std::string command = std::string("python3 ") + SERIALTAP_SOURCE_DIR +
                              "/tools/hex-streams.py " + capture_ + " " + out + " >/dev/null";
        EXPECT_EQ(0, std::system(command.c_str()));
        std::string name = label;
        for (char& c : name) c = c == '/' ? '_' : c;
        return fileExists(out + "/" + name + ".bin") ? readFile(out + "/" + name + ".bin") : "";
    }

    ScratchDir dir_;
    std::string capture_ = dir_.file("capture");
    std::vector<std::unique_ptr<DevicePty>> devices_;
};

TEST_F(PortsTest, TextLinesNameTheirPortAndKeepTheOrderRead) {
    openPorts(2);
    Program program(commandLine({}));
    ASSERT_TRUE(program.waitCapturing());
    sendInTurn(program, {{0, "AT+X\n"}, {1, "OK"}, {0, "half "}, {0, "line\n"}, {1, "\nERR\n"}});
    EXPECT_EQ(0, program.stopWithQ());
    const std::string a = labelOf(*devices_[0]) + ": ";
    const std::string b = labelOf(*devices_[1]) + ": ";
    // A switch of port ends the line that was begun.
    EXPECT_EQ(a + "AT+X\r\n" + b + "OK\r\n" + a + "half line\r\n" + b + "\r\n" + b + "ERR\r\n",
              readFile(capture_));
}

// Each port's stream comes back exactly, whatever the interleaving.
TEST_F(PortsTest, HexOfEightPortsGivesBackEachStream) {
    openPorts(8);
    Program program(commandLine({"-m", "2", "-d", "3"}));
    ASSERT_TRUE(program.waitCapturing());
    std::vector<std::string> sent(8);
    std::vector<std::pair<std::size_t, std::string>> parts;
    for (std::size_t round = 0; round < 3; ++round) {
        for (std::size_t port = 0; port < 8; ++port) {
            std::string bytes = randomBytes(1 + (port * 37 + round * 101) % 300);
            sent[port] += bytes;
            parts.emplace_back(port, bytes);
        }
    }
    sendInTurn(program, parts);
    EXPECT_EQ(0, program.stopWithQ());
    for (std::size_t port = 0; port < 8; ++port) {
        EXPECT_TRUE(recovered(labelOf(*devices_[port])) == sent[port]) << "port " << port;
    }
    // The stamps follow the order the chunks were read.
    std::string file = readFile(capture_);
    double last = -1;
    for (std::size_t at = file.find('['); at != std::string::npos; at = file.find("\n[", at)) {
        double stamp = std::stod(file.substr(file.find_first_not_of("[ \n", at)));
        EXPECT_LE(last, stamp);
        last = stamp;
        ++at;
    }
}

// Runs appended with line events: each port's stream is its runs' bytes in
// turn, though each run's offsets start again.
TEST_F(PortsTest, HexRunsAppendedWithLineEventsGiveBackEachStream) {
    openPorts(2);
    std::vector<std::string> sent(2);
    for (int run = 0; run < 2; ++run) {
        Program program(commandLine({"-m", "2", "-u", "1", "-a", "1"}));
        ASSERT_TRUE(program.waitCapturing());
        std::vector<std::pair<std::size_t, std::string>> parts;
        for (std::size_t port = 0; port < 2; ++port) {
            parts.emplace_back(port, randomBytes(20 + port * 7 + static_cast<std::size_t>(run)));
            sent[port] += parts.back().second;
        }
        sendInTurn(program, parts);
        EXPECT_EQ(0, program.stopWithQ());
    }
    for (std::size_t port = 0; port < 2; ++port) {
        EXPECT_TRUE(recovered(labelOf(*devices_[port])) == sent[port]) << "port " << port;
    }
}

// Without -f, what a round gathers goes to the file before the loop waits:
// only the last, partly filled buffer is held while the ports are quiet.
TEST_F(PortsTest, GatheredWriteOutsReachTheFileBeforeAWait) {
    openPorts(2);
    Program program(commandLine({"-m", "2"}), ConsoleKind::None);
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(devices_[0]->send(std::string(10000, 'x')));
    ASSERT_TRUE(program.waitBytesRead(10000));
    // The file's size once it has stopped changing, while the ports are quiet.
    std::size_t quiet = 0;
    auto changed = Clock::now();
    for (auto deadline = Clock::now() + kPatience;
         Clock::now() - changed < milliseconds(500) && Clock::now() < deadline;) {
        std::this_thread::sleep_for(milliseconds(10));
        std::size_t size = readFile(capture_).size();
        if (size != quiet) changed = Clock::now();
        quiet = size;
    }
    kill(program.pid(), SIGTERM);
    EXPECT_EQ(0, program.waitExit());
    EXPECT_LT(readFile(capture_).size() - quiet, 4096u);
}

TEST_F(PortsTest, OnePortLostAndBackWhileTheOtherGoesOn) {
    openPorts(2);
    std::string link = dir_.file("by-id");
    ASSERT_EQ(0, symlink(devices_[0]->portPath().c_str(), link.c_str()));
    Program program({capture_, "-c", link, "-l", devices_[1]->portPath(), "-m", "2"});
    ASSERT_TRUE(program.waitCapturing());
    sendInTurn(program, {{0, "before"}, {1, "one"}});
    auto replugged = std::make_unique<DevicePty>();
    std::string fresh = link + ".new";
    ASSERT_EQ(0, symlink(replugged->portPath().c_str(), fresh.c_str()));
    devices_[0]->hangUp();
    devices_[0] = std::move(replugged);
    // Bytes of the port that stays reach the file while the other is away.
    ASSERT_TRUE(devices_[1]->send("two"));
    // Its messages name it.
    ASSERT_TRUE(program.waitOutputContains(link + ": "));
    ASSERT_EQ(0, rename(fresh.c_str(), link.c_str()));
    ASSERT_TRUE(program.waitOutputContains("serial port reopened"));
    ASSERT_TRUE(program.waitCapturing());
    sendInTurn(program, {{0, "after"}, {1, "three"}});
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("beforeafter", recovered(link));
    EXPECT_EQ("onetwothree", recovered(labelOf(*devices_[1])));
}

// A stop text begun on the added port before its loss is not completed
// after it, while the text begun on the other port still is.
TEST_F(PortsTest, AStopTextSplitByTheLossOfOnePortMatchesOnlyOnTheOther) {
    openPorts(2);
    std::string link = dir_.file("by-id");
    ASSERT_EQ(0, symlink(devices_[1]->portPath().c_str(), link.c_str()));
    Program program({capture_, "-c", devices_[0]->portPath(), "-l", link, "-x", "panic"});
    ASSERT_TRUE(program.waitCapturing());
    sendInTurn(program, {{0, "pa"}, {1, "pan"}});
    auto replugged = std::make_unique<DevicePty>();
    std::string fresh = link + ".new";
    ASSERT_EQ(0, symlink(replugged->portPath().c_str(), fresh.c_str()));
    ASSERT_EQ(0, rename(fresh.c_str(), link.c_str()));
    devices_[1]->hangUp();
    devices_[1] = std::move(replugged);
    ASSERT_TRUE(program.waitOutputContains("serial port reopened"));
    ASSERT_TRUE(program.waitCapturing());
    sendInTurn(program, {{1, "ic"}});
    ASSERT_TRUE(devices_[0]->send("nic"));
    EXPECT_EQ(2, program.waitExit());
    const std::string a = labelOf(*devices_[0]) + ": ";
    const std::string b = link + ": ";
    // The file holds both texts whole; only the one on a single port counted.
    EXPECT_EQ(a + "pa\r\n" + b + "panic\r\n" + a + "nic", readFile(capture_));
}

// A hung-up port that is not reopened is always ready to poll: the
// capture must neither spin on it nor stop reading the other.
TEST_F(PortsTest, FailingPortKeptOpenNeitherSpinsNorHoldsTheOtherUp) {
    openPorts(2);
    Program program(commandLine({"-r", "0", "-m", "2"}));
    ASSERT_TRUE(program.waitCapturing());
    devices_[0]->hangUp();
    ASSERT_TRUE(program.waitOutputContains(labelOf(*devices_[0]) + ": "));
    CpuWatch cpu(program);
    std::this_thread::sleep_for(milliseconds(1500));
    sendInTurn(program, {{1, "still here"}});
    EXPECT_TRUE(cpu.stayedIdle());
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("still here", recovered(labelOf(*devices_[1])));
}

TEST_F(PortsTest, StopTextMatchesOnlyWhenWholeOnOnePort) {
    openPorts(2);
    Program program(commandLine({"-e", "DONE"}));
    ASSERT_TRUE(program.waitCapturing());
    sendInTurn(program, {{0, "DO"}, {1, "NE"}, {0, "N"}});
    EXPECT_TRUE(program.running());
    ASSERT_TRUE(devices_[0]->send("E"));
    EXPECT_EQ(0, program.waitExit());
}

// The first failure ends the setup, named by its port; nothing is captured.
TEST_F(PortsTest, SetupFailureOfOnePortEndsTheProgram) {
    openPorts(1);
    Finished run =
        runToExit({capture_, "-c", devices_[0]->portPath(), "-l", "/dev/serialtap-no-such-port"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("serialtap-no-such-port: could not open serial port: 2\n", run.output);
    EXPECT_EQ("", readFile(capture_));
}

TEST_F(PortsTest, ShownBytesAreLabelledToo) {
    openPorts(2);
    Program program(commandLine({"-v", "2"}), ConsoleKind::None);
    ASSERT_TRUE(program.waitCapturing());
    sendInTurn(program, {{0, "up\n"}, {1, "down"}, {0, "x"}});
    kill(program.pid(), SIGTERM);
    EXPECT_EQ(0, program.waitExit());
    const std::string a = labelOf(*devices_[0]) + ": ";
    EXPECT_EQ(a + "up\n" + labelOf(*devices_[1]) + ": down\n" + a + "x", program.output());
}

// A packet a line: the pause splits, the bytes of one packet do not.
TEST_F(PortsTest, PauseBeginsAHexLineWithItsOwnStamp) {
    openPorts(1);
    Program program(commandLine({"-m", "2", "-g", "300", "-d", "3"}));
    ASSERT_TRUE(program.waitCapturing());
    sendInTurn(program, {{0, "ab"}, {0, "cd"}});
    std::this_thread::sleep_for(milliseconds(600));
    sendInTurn(program, {{0, "ef"}});
    EXPECT_EQ(0, program.stopWithQ());
    std::string file = readFile(capture_);
    EXPECT_EQ(2u, countOf(file, "\r\n")) << file;
    EXPECT_NE(std::string::npos, file.find("00000000  61 62 63 64 ")) << file;
    EXPECT_NE(std::string::npos, file.find("00000004  65 66 ")) << file;
}

}  // namespace
}  // namespace serialtap::test

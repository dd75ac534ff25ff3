// Network ports, captured as a user captures them: from Debian's ser2net
// serving a pseudo-terminal, and from a scripted server for the faults
// ser2net does not have. Everything stays on 127.0.0.1.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "port/network_device.h"
#include "port/serial_port.h"
#include "tests/network_servers.h"
#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using namespace std::string_literals;

// Telnet doubles 0xFF in data.
std::string doubled(const std::string& bytes) {
    std::string out;
    for (char byte : bytes) {
        out += byte;
        if (byte == '\xFF') out += byte;
    }
    return out;
}

testing::AssertionResult fileReaches(const std::string& path, std::size_t size) {
    auto deadline = Clock::now() + kPatience;
    while (readFile(path).size() < size) {
        if (Clock::now() > deadline) {
            return testing::AssertionFailure() << readFile(path).size() << " of " << size;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return testing::AssertionSuccess();
}

// The client's connection to the port has its keepalive timer running and
// due within the idle time: the kernel's table shows timer 2 and its ticks.
testing::AssertionResult keepAliveWithin(int port, std::chrono::seconds idle) {
    char remote[32];
    std::snprintf(remote, sizeof remote, "0100007F:%04X", static_cast<unsigned>(port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string peer;
        std::string state;
        std::string queues;
        std::string timer;
        fields >> slot >> local >> peer >> state >> queues >> timer;
        if (peer != remote || state != "01") continue;
        auto colon = timer.find(':');
        long ticks = std::stol(timer.substr(colon + 1), nullptr, 16);
        if (timer.substr(0, colon) == "02" && ticks <= idle.count() * sysconf(_SC_CLK_TCK)) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << "timer " << timer;
    }
    return testing::AssertionFailure() << "no connection to port " << port;
}

Launch withFakeResolver() {
    Launch launch;
    launch.wrapper = {"/usr/bin/env", "LD_PRELOAD="s + FAKE_RESOLVER,
                      "ASAN_OPTIONS=verify_asan_link_order=0"};
    return launch;
}

class Ser2netTest : public PtyTest {
protected:
    void SetUp() override { ASSERT_TRUE(server_.start()); }

    // Every byte value, and the line ends a Telnet text mode would change.
    const std::string bytes_ = everyByteValue() + "\r\0\r\nA\r\0"s + everyByteValue();
    Ser2net server_{dir_, device_.portPath()};
};

TEST_F(Ser2netTest, SettingsReachThePortAndEveryByteArrivesExactly) {
    // Parity does not reach a pseudo-terminal; the rate and the stop bits do.
    Program program({capturePath(), "-c", server_.telnetUrl(), "-m", "1", "-f", "20", "-b", "57600",
                     "-s", "2"});
    ASSERT_TRUE(waitSetUp(program));
    termios line = device_.settings();
    EXPECT_EQ(B57600, cfgetospeed(&line));
    EXPECT_EQ(static_cast<tcflag_t>(CS8 | CSTOPB), line.c_cflag & (CSIZE | CSTOPB | PARENB));
    EXPECT_TRUE(keepAliveWithin(server_.telnetPort(), std::chrono::seconds(10)));
    ASSERT_TRUE(device_.send(bytes_));
    ASSERT_TRUE(fileReaches(capturePath(), bytes_.size()));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ(bytes_, captured());
}

// A raw TCP port has no negotiation to wait for: the server opens the
// device a moment after the program connects, and a pseudo-terminal takes
// bytes in its cooked mode (where ^C empties its queue) until then.
testing::AssertionResult serverMadeItRaw(const DevicePty& device) {
    auto deadline = Clock::now() + kPatience;
    while ((device.settings().c_lflag & ICANON) != 0) {
        if (Clock::now() > deadline) return testing::AssertionFailure() << "still cooked";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return testing::AssertionSuccess();
}

TEST_F(Ser2netTest, RawTcpIsCapturedInTextFormat) {
    Program program({capturePath(), "-c", server_.tcpUrl(), "-f", "20"});
    ASSERT_TRUE(waitSetUp(program));
    ASSERT_TRUE(serverMadeItRaw(device_));
    std::string expected = withLineEndsExpanded(bytes_);
    ASSERT_TRUE(device_.send(bytes_));
    ASSERT_TRUE(fileReaches(capturePath(), expected.size()));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ(expected, captured());
}

TEST_F(Ser2netTest, AServerKilledAndStartedAgainIsReportedAndCapturedAgain) {
    Program program({capturePath(), "-c", server_.telnetUrl(), "-m", "1", "-f", "20"});
    ASSERT_TRUE(waitSetUp(program));
    std::string before = "before\xFF\r\n"s + everyByteValue();
    ASSERT_TRUE(device_.send(before));
    ASSERT_TRUE(fileReaches(capturePath(), before.size()));
    server_.stop();
    ASSERT_TRUE(program.waitOutputContains("Error for Waiting Comm Event: 104"));
    ASSERT_TRUE(server_.start());
    ASSERT_TRUE(program.waitOutputContains("serial port reopened"));
    ASSERT_TRUE(waitSetUp(program));
    std::string after = "after\xFF"s + everyByteValue();
    ASSERT_TRUE(device_.send(after));
    ASSERT_TRUE(fileReaches(capturePath(), before.size() + after.size()));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ(before + after, captured());
    EXPECT_EQ(1u, countOf(program.output(), "Error for Waiting Comm Event"));
}

TEST_F(Ser2netTest, APortAnotherClientHoldsIsASetupFailure) {
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server_.telnetPort()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, connect(holder, reinterpret_cast<sockaddr*>(&address), sizeof address));
    char greeting[64];
    ASSERT_GT(recv(holder, greeting, sizeof greeting, 0), 0);  // ser2net took it as its user

    Finished run = runToExit({capturePath(), "-c", server_.telnetUrl()});
    EXPECT_EQ("could not open serial port: the server said \"Port already in use\"\n", run.output);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", captured());
    close(holder);
}

TEST(NetworkPortOpen, RefusedAndUnknownHostsFailAtOnce) {
    ScratchDir dir;
    auto started = Clock::now();
    Finished refused =
        runToExit({dir.file("c"), "-c", "tcp://127.0.0.1:" + std::to_string(freeLocalPort())});
    EXPECT_EQ("could not open serial port: 111\n", refused.output);
    EXPECT_EQ(1, refused.status);
    Program unknown({dir.file("c"), "-c", "rfc2217://no-such-host.invalid:2001"}, ConsoleKind::None,
                    withFakeResolver());
    EXPECT_EQ(1, unknown.waitExit());
    EXPECT_EQ("could not open serial port: " + std::to_string(EAI_NONAME) + "\n", unknown.output());
    // Well below the lookup's own limit: the answers were taken as they came.
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(8));
}

// A lookup that hangs and a server that accepts and says nothing: q still
// ends the program at once, and the terminal is as it was.
TEST(NetworkPortOpen, QEndsAHungLookupAndASilentServer) {
    ScratchDir dir;
    FakeServer silent([](int, const std::atomic<bool>& stopping) {
        while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    for (const std::string& url : {"rfc2217://hang.invalid:2001"s, silent.url()}) {
        Program program({dir.file("c"), "-c", url}, ConsoleKind::Terminal, withFakeResolver());
        ASSERT_TRUE(program.waitCapturing()) << url;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto pressed = Clock::now();
        EXPECT_EQ(0, program.stopWithQ()) << url;
        // Half a second is the aim; the bound only leaves room for a loaded machine.
        EXPECT_LT(Clock::now() - pressed, std::chrono::seconds(2)) << url;
        EXPECT_EQ(program.consoleAtStart().c_lflag, program.consoleNow().c_lflag);
        EXPECT_EQ("", program.output()) << url;
    }
    Program signalled({dir.file("c"), "-c", "rfc2217://hang.invalid:2001"}, ConsoleKind::Terminal,
                      withFakeResolver());
    ASSERT_TRUE(signalled.waitCapturing());
    auto sent = Clock::now();
    kill(signalled.pid(), SIGTERM);
    EXPECT_EQ(0, signalled.waitExit());
    EXPECT_LT(Clock::now() - sent, std::chrono::seconds(2));
}

TEST(FakeTelnetServer, TextModeIsDecodedAndSaidOnce) {
    ScratchDir dir;
    TelnetBehaviour text;
    text.binary = false;
    FakeServer server([&text](int socket, const std::atomic<bool>& stopping) {
        serveTelnet(socket, stopping, text, "a\r\0b\r\nc\xFF\xFF"s);
    });
    Program program({dir.file("c"), "-c", server.url(), "-m", "1", "-f", "20"});
    ASSERT_TRUE(fileReaches(dir.file("c"), 7));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("a\rb\r\nc\xFF"s, readFile(dir.file("c")));
    EXPECT_EQ(1u, countOf(program.output(), "not send in binary mode"));
}

// A server that stops sending in binary mode after the setup changes how
// its bytes are read from then on: said once, when it happens.
TEST(FakeTelnetServer, BinaryModeTurnedOffLaterIsSaidOnce) {
    ScratchDir dir;
    FakeServer server([](int socket, const std::atomic<bool>& stopping) {
        serveTelnet(socket, stopping, TelnetBehaviour{},
                    "a\r\0\xFF\xFC\x00"
                    "b\r\0c\xFF\xFC\x00"
                    "d"s);
    });
    Program program({dir.file("c"), "-c", server.url(), "-m", "1", "-f", "20"});
    ASSERT_TRUE(fileReaches(dir.file("c"), 5));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("a\r\0b\rcd"s, readFile(dir.file("c")));
    EXPECT_EQ(1u, countOf(program.output(), "not send in binary mode"));
}

TEST(FakeTelnetServer, EverySequenceSplitAcrossWritesDecodesTheSame) {
    ScratchDir dir;
    TelnetBehaviour split;
    split.splitWrites = true;
    std::string data = everyByteValue() + "\r\0\r\n"s;
    // A notification and a no-operation in the middle of the data.
    std::string sent = doubled(everyByteValue()) + "\xFF\xFA\x2C\x6B\x30\xFF\xF0\xFF\xF1\r\0\r\n"s;
    FakeServer server([&](int socket, const std::atomic<bool>& stopping) {
        serveTelnet(socket, stopping, split, sent);
    });
    Program program({dir.file("c"), "-c", server.url(), "-m", "1", "-f", "20"});
    ASSERT_TRUE(fileReaches(dir.file("c"), data.size()));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ(data, readFile(dir.file("c")));
}

TEST(FakeTelnetServer, AConnectionClosedInASubnegotiationKeepsTheBytesBefore) {
    ScratchDir dir;
    TelnetBehaviour closing;
    closing.closeAfterPayload = true;
    FakeServer server([&](int socket, const std::atomic<bool>& stopping) {
        serveTelnet(socket, stopping, closing, "abc\xFF\xFA\x2C\x6B"s);
    });
    Program program({dir.file("c"), "-c", server.url(), "-m", "1"});
    ASSERT_TRUE(program.waitOutputContains("Error for Waiting Comm Event: 104"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("abc", readFile(dir.file("c")));
}

TEST(FakeTelnetServer, CommandsWithoutEndAreABrokenServer) {
    ScratchDir dir;
    TelnetBehaviour flood;
    flood.floodAfterPayload = true;
    FakeServer server([&](int socket, const std::atomic<bool>& stopping) {
        serveTelnet(socket, stopping, flood, "abc");
    });
    Program program({dir.file("c"), "-c", server.url(), "-m", "1"});
    ASSERT_TRUE(program.waitOutputContains("Error for Waiting Comm Event: 71"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("abc", readFile(dir.file("c")));
}

// A network port opened and read in this process, pass after pass as the
// capture reads it, with every mark placed in the whole stream.
class WatchedPort {
public:
    WatchedPort(const std::string& url, bool watch) {
        port_.setMessageOutput([this](const char* text) { messages_ += text; });
        settings_.portName = url;
        settings_.watchLine = watch;
    }

    bool open() { return port_.open(settings_); }
    bool open(const std::string& url) {
        settings_.portName = url;
        return open();
    }

    // Passes until done() holds, or the patience is spent.
    void readUntil(const std::function<bool()>& done) {
        auto deadline = Clock::now() + kPatience;
        while (!done() && Clock::now() < deadline) {
            WaitSet set;
            port_.addSources(set, 0);
            set.due(Clock::now() + std::chrono::milliseconds(100));
            waitOrPause(set, waitOn);
            port_.sourcesFound(set);
            Reception got = port_.receive();
            for (std::size_t i = 0; i < got.markCount; ++i) {
                LineMark mark = got.marks[i];
                EXPECT_LE(mark.at, got.size);
                mark.at += data_.size();
                marks_.push_back(mark);
            }
            data_.append(reinterpret_cast<const char*>(got.data), got.size);
        }
    }

    SerialPort& port() { return port_; }
    const std::string& data() const { return data_; }
    const std::vector<LineMark>& marks() const { return marks_; }
    const std::string& messages() const { return messages_; }

private:
    std::unique_ptr<SerialDevice> device_ = makeNetworkDevice();
    SerialPort port_{*device_, stderr};
    PortSettings settings_;
    std::string data_;
    std::vector<LineMark> marks_;
    std::string messages_;
};

std::string notification(char code, char value) {
    std::string command = "\xFF\xFA\x2C"s;
    command += code;
    command += value;
    return command + "\xFF\xF0"s;
}

// Every kind of notification between data bytes, each byte in a write of
// its own: marks where they came, the data exact, the modem lines the
// server told at the setup known before the first byte.
TEST(FakeTelnetServer, NotificationsAreMarkedWhereTheyCame) {
    TelnetBehaviour split;
    split.splitWrites = true;
    split.modemState = 0x30;
    std::string payload = "ab"s + notification('\x6A', '\x10') + notification('\x6A', '\x08') +
                          notification('\x6B', '\x30') + notification('\x6B', '\x98') +
                          "c\xFF\xFF" + notification('\x6A', '\x06') + "d";
    FakeServer server([&](int socket, const std::atomic<bool>& stopping) {
        serveTelnet(socket, stopping, split, payload);
    });
    WatchedPort watched(server.url(), true);
    ASSERT_TRUE(watched.open());
    EXPECT_EQ(watched.port().modemLines(), kLineDsr | kLineCts);
    watched.readUntil([&watched] { return watched.data().size() >= 5; });
    EXPECT_EQ(
        "abc\xFF"
        "d"s,
        watched.data());
    std::vector<std::pair<LineEventKind, std::size_t>> found;
    for (const LineMark& mark : watched.marks()) found.emplace_back(mark.kind, mark.at);
    EXPECT_EQ(found, (std::vector<std::pair<LineEventKind, std::size_t>>{
                         {LineEventKind::Break, 2},
                         {LineEventKind::FramingError, 2},
                         {LineEventKind::ModemLines, 2},
                         {LineEventKind::Dropped, 4},
                         {LineEventKind::ParityError, 4}}));
    ASSERT_EQ(5u, watched.marks().size());
    EXPECT_EQ(kLineDcd | kLineCts, watched.marks()[2].lines);
    EXPECT_EQ(0u, watched.marks()[3].count);
    EXPECT_EQ(1u, watched.port().dropped().uncounted);
    EXPECT_EQ(0u, watched.port().dropped().bytes);
    EXPECT_EQ("", watched.messages());
}

// An event counted because it came close after another is said when its
// time comes, and with -f reaches the file then, the line quiet.
TEST(FakeTelnetServer, ACountedEventReachesTheFileOnAQuietLine) {
    ScratchDir dir;
    TelnetBehaviour behaviour;
    const std::string payload = "ab"s + notification('\x6B', '\x10') + notification('\x6A', '\x10');
    FakeServer server([&](int socket, const std::atomic<bool>& stopping) {
        serveTelnet(socket, stopping, behaviour, payload);
    });
    Program program({dir.file("c"), "-c", server.url(), "-m", "1", "-f", "20", "-u", "1"});
    const std::string events = dir.file("c") + ".events";
    auto deadline = Clock::now() + kPatience;
    while (readFile(events).find(" break\n") == std::string::npos && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(readFile(events).find(" break\n"), std::string::npos) << readFile(events);
    EXPECT_EQ(0, program.stopWithQ());
}

// Only a watched line asks for reports, just before the purge; a server
// that does not answer is said once and still captured. An overrun is
// counted either way.
TEST(FakeTelnetServer, ReportsAreAskedForOnlyWhenTheLineIsWatched) {
    const std::string requests = "\xFF\xFB\x00\xFF\xFD\x00\xFF\xFB\x2C"s +
                                 notification('\x01', '\x00').insert(5, "\x00\x00\x00"s) +
                                 notification('\x01', '\x00').insert(5, "\x00\x25\x80"s) +
                                 notification('\x02', '\x08') + notification('\x03', '\x01') +
                                 notification('\x04', '\x01');
    const std::string reports = notification('\x0A', '\x1E') + notification('\x0B', '\xF0');
    const std::string purge = notification('\x0C', '\x03');
    for (int run = 0; run < 3; ++run) {
        std::string received;
        TelnetBehaviour behaviour;
        behaviour.received = &received;
        behaviour.answerReports = run != 2;
        bool watch = run != 0;
        {
            FakeServer server([&](int socket, const std::atomic<bool>& stopping) {
                serveTelnet(socket, stopping, behaviour, "x"s + notification('\x6A', '\x02'));
            });
            WatchedPort watched(server.url(), watch);
            ASSERT_TRUE(watched.open()) << run;
            watched.readUntil([&watched] {
                return !watched.data().empty() && watched.port().dropped().uncounted > 0;
            });
            EXPECT_EQ("x", watched.data()) << run;
            EXPECT_EQ(1u, watched.port().dropped().uncounted) << run;
            EXPECT_EQ(watch ? 1u : 0u, watched.marks().size()) << run;
            EXPECT_EQ(run == 2 ? 1u : 0u, countOf(watched.messages(), "does not agree to report"))
                << run;
            watched.port().closePort();
        }
        std::string expected = requests;
        if (watch) expected += reports;
        expected += purge;
        EXPECT_EQ(expected, received) << run;
    }
}

// A server that agrees to report less is said once for the port, not
// again each time the port is opened again.
TEST(FakeTelnetServer, AServerThatAgreesToLessIsSaidOnceAcrossReopenings) {
    TelnetBehaviour less;
    less.agreeReports = false;
    auto serve = [&less](int socket, const std::atomic<bool>& stopping) {
        serveTelnet(socket, stopping, less, "x");
    };
    FakeServer first(serve);
    FakeServer second(serve);
    WatchedPort watched(first.url(), true);
    ASSERT_TRUE(watched.open());
    watched.readUntil([&watched] { return watched.data().size() == 1; });
    watched.port().closePort();
    ASSERT_TRUE(watched.open(second.url()));
    watched.readUntil([&watched] { return watched.data().size() == 2; });
    EXPECT_EQ("xx", watched.data());
    EXPECT_EQ(1u, countOf(watched.messages(), "does not agree to report"));
}

// ser2net answers the requests for reports with the states themselves:
// taken as agreement at once, and the modem lines known from the start.
TEST_F(Ser2netTest, AWatchedLineIsAgreedAtOnceAndCapturedExactly) {
    WatchedPort watched(server_.telnetUrl(), true);
    ASSERT_TRUE(watched.open());
    EXPECT_EQ(watched.port().modemLines(), 0u);
    ASSERT_TRUE(device_.send(bytes_));
    watched.readUntil([&] { return watched.data().size() >= bytes_.size(); });
    EXPECT_EQ(bytes_, watched.data());
    EXPECT_TRUE(watched.marks().empty());
    EXPECT_EQ("", watched.messages());
}

struct SetupFault {
    const char* name;
    TelnetBehaviour behaviour;
    bool flood;
    const char* message;
};

class FakeTelnetSetupTest : public testing::TestWithParam<SetupFault> {};

TEST_P(FakeTelnetSetupTest, EndsTheProgramWithItsMessage) {
    ScratchDir dir;
    const SetupFault& fault = GetParam();
    FakeServer server([&fault](int socket, const std::atomic<bool>& stopping) {
        if (!fault.flood) return serveTelnet(socket, stopping, fault.behaviour, "data");
        // Offers without end, and none of the answers read.
        std::string offers;
        for (int i = 0; i < 64; ++i) offers += "\xFF\xFB\x05"s;
        while (!stopping && send(socket, offers.data(), offers.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    Finished run = runToExit({dir.file("c"), "-c", server.url(), "-b", "57600"});
    EXPECT_EQ(fault.message, run.output);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", readFile(dir.file("c")));
}

TelnetBehaviour answering(std::uint32_t rate) {
    TelnetBehaviour behaviour;
    behaviour.answeredRate = rate;
    return behaviour;
}

TelnetBehaviour withoutComPort() {
    TelnetBehaviour behaviour;
    behaviour.comPort = false;
    return behaviour;
}

TelnetBehaviour silentOnSettings() {
    TelnetBehaviour behaviour;
    behaviour.answerSettings = false;
    return behaviour;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FakeTelnetSetupTest,
    testing::Values(SetupFault{"AnotherRate", answering(9600), false, "error setting comm: 22\n"},
                    SetupFault{"NoAnswer", silentOnSettings(), false, "error setting comm: 110\n"},
                    SetupFault{"CommandFlood", {}, true, "could not open serial port: 71\n"},
                    SetupFault{"NoComPortControl", withoutComPort(), false,
                               "could not open serial port: the server does not offer RFC 2217 "
                               "line settings\n"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace serialtap::test

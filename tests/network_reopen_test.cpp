// A network port that is reopened while a local port goes on: however the
// reopen hangs (a server that accepts and never answers, a connect that is
// never answered, a name lookup that never ends), the local port is read
// as its bytes come, -f is kept, and the tries come a second after the
// last one ended.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/network_servers.h"
#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using namespace std::string_literals;

enum class Hang { SilentServer, Connect, Lookup };

struct HangCase {
    const char* name;
    Hang hang;
};

// Serves the first connection's setup and closes it; what later tries
// meet depends on the hang.
class ReopenServer {
public:
    ReopenServer(Hang hang, std::string hangFile) : hang_(hang), hangFile_(std::move(hangFile)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        static_cast<void>(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address));
        // With no backlog, connections nobody accepts soon fill the queue,
        // and a connect after them is never answered.
        static_cast<void>(listen(listener_, 0));
        socklen_t size = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ReopenServer() {
        stopping_ = true;
        thread_.join();
        for (int fd : held_) close(fd);
        close(listener_);
    }

    int port() const { return port_; }
    bool firstClosed() const { return firstClosed_; }
    std::vector<Clock::time_point> accepts() {
        std::lock_guard<std::mutex> hold(mutex_);
        return accepts_;
    }

private:
    int acceptOne() {
        pollfd ready{listener_, POLLIN, 0};
        while (!stopping_) {
            if (poll(&ready, 1, 20) > 0) return accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        }
        return -1;
    }

    void serve() {
        int first = acceptOne();
        if (first < 0) return;
        TelnetBehaviour behaviour;
        behaviour.closeAfterPayload = true;
        serveTelnet(first, stopping_, behaviour, "");
        close(first);
        if (hang_ == Hang::Lookup) close(::open(hangFile_.c_str(), O_CREAT | O_WRONLY, 0600));
        if (hang_ == Hang::Connect) fillQueue();
        firstClosed_ = true;
        if (hang_ != Hang::SilentServer) return;
        while (!stopping_) {
            int client = acceptOne();
            if (client < 0) return;
            std::lock_guard<std::mutex> hold(mutex_);
            accepts_.push_back(Clock::now());
            held_.push_back(client);
        }
    }

    void fillQueue() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        for (int i = 0; i < 2; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            static_cast<void>(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
            held_.push_back(fd);
        }
    }

    Hang hang_;
    std::string hangFile_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> firstClosed_{false};
    std::mutex mutex_;
    std::vector<Clock::time_point> accepts_;
    std::vector<int> held_;
    std::thread thread_;
};

// The stamps (seconds since the start) of the capture's lines from the
// local port, in order.
std::vector<double> stampsOfLocalLines(const std::string& capture) {
    std::vector<double> stamps;
    std::size_t at = 0;
    while (at < capture.size()) {
        std::size_t end = capture.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = capture.substr(at, end - at);
        at = end + 1;
        if (line.size() < 14 || line[0] != '[' || line.find("local ") == std::string::npos) {
            continue;
        }
        stamps.push_back(std::stod(line.substr(1, 12)));
    }
    return stamps;
}

using ReopenTest = PtyTestWithParam<HangCase>;
using serialtap::test::operator<<;

TEST_P(ReopenTest, NeverHoldsTheOtherPort) {
    const HangCase& c = GetParam();
    std::string hangFile = dir_.file("hang");
    ReopenServer server(c.hang, hangFile);
    std::string host = c.hang == Hang::Lookup ? "later-hang.invalid" : "127.0.0.1";
    std::string url = "rfc2217://" + host + ":" + std::to_string(server.port());
    Launch launch;
    launch.wrapper = {"/usr/bin/env", "LD_PRELOAD="s + FAKE_RESOLVER,
                      "SERIALTAP_TEST_HANG_FILE=" + hangFile,
                      "ASAN_OPTIONS=verify_asan_link_order=0"};
    Program program(commandLine({"-l", url, "-d", "3", "-f", "200"}), ConsoleKind::None, launch);
    ASSERT_TRUE(program.waitCapturing());
    auto deadline = Clock::now() + kPatience;
    while (!server.firstClosed() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(server.firstClosed());

    // Nine seconds of lines while the network port is tried again and
    // again: each must reach the file within -f's bound and a little more.
    std::string sent;
    auto longestWait = Clock::duration::zero();
    auto end = Clock::now() + std::chrono::seconds(9);
    for (int i = 0; Clock::now() < end; ++i) {
        std::string line = "local " + std::to_string(i) + "\n";
        ASSERT_TRUE(device_.send(line, std::chrono::seconds(2))) << "the port was not read";
        sent += line;
        auto written = Clock::now();
        // Stored with the text format's line end.
        std::string stored = "local " + std::to_string(i) + "\r\n";
        while (captured().find(stored) == std::string::npos &&
               Clock::now() - written < std::chrono::seconds(10)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        longestWait = std::max(longestWait, Clock::now() - written);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // A try that held the capture held it for five seconds or more.
    EXPECT_LT(longestWait, std::chrono::seconds(1));

    kill(program.pid(), SIGTERM);
    EXPECT_EQ(0, program.waitExit());
    std::vector<double> stamps = stampsOfLocalLines(captured());
    EXPECT_EQ(stamps.size(), static_cast<std::size_t>(std::count(sent.begin(), sent.end(), '\n')));
    double longestGap = 0;
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        longestGap = std::max(longestGap, stamps[i] - stamps[i - 1]);
    }
    EXPECT_LT(longestGap, 1.0);
    if (c.hang == Hang::SilentServer) {
        // A try ends when its negotiation has had five seconds; the next
        // comes a second later.
        std::vector<Clock::time_point> tries = server.accepts();
        ASSERT_GE(tries.size(), 2u);
        EXPECT_GE(tries[1] - tries[0], std::chrono::milliseconds(5900));
    }
}

INSTANTIATE_TEST_SUITE_P(Hangs, ReopenTest,
                         testing::Values(HangCase{"SilentServer", Hang::SilentServer},
                                         HangCase{"Connect", Hang::Connect},
                                         HangCase{"Lookup", Hang::Lookup}),
                         [](const testing::TestParamInfo<HangCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace serialtap::test

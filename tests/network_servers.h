#pragma once

// Servers on 127.0.0.1 for the network port tests: Debian's ser2net serving
// a pseudo-terminal, and a scriptable Telnet server for what ser2net will
// not do. Both stop with the test.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "tests/pty_harness.h"

namespace serialtap::test {

// A port nothing listens on now; another test may take it later, so it is
// asked for just before it is used.
int freeLocalPort();

// ser2net serving one device as telnet(rfc2217) and as raw TCP.
class Ser2net {
public:
    Ser2net(const ScratchDir& dir, const std::string& device);
    ~Ser2net() { stop(); }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    std::string telnetUrl() const { return "rfc2217://127.0.0.1:" + std::to_string(telnetPort_); }
    std::string tcpUrl() const { return "tcp://127.0.0.1:" + std::to_string(tcpPort_); }
    int telnetPort() const { return telnetPort_; }

    // Started and accepting connections on both ports.
    testing::AssertionResult start();
    void stop();

private:
    std::string config_;
    int telnetPort_ = 0;
    int tcpPort_ = 0;
    pid_t pid_ = -1;
};

// Accepts one connection on 127.0.0.1 and runs the script on it in a thread
// of its own; the script's socket is closed when it returns.
class FakeServer {
public:
    using Script = std::function<void(int socket, const std::atomic<bool>& stopping)>;

    explicit FakeServer(const Script& script);
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    std::string url(const char* scheme = "rfc2217") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// What a well-behaved RFC 2217 server does, with the faults the tests ask for.
struct TelnetBehaviour {
    bool binary = true;              // agrees to send in binary mode
    bool comPort = true;             // agrees to Com Port Control
    bool answerSettings = true;      // answers the line settings at all
    std::uint32_t answeredRate = 0;  // not 0: the rate answered, whatever was asked
    bool splitWrites = false;        // every byte in a write of its own
    bool closeAfterPayload = false;
    bool floodAfterPayload = false;   // no-operation commands without end
    bool answerReports = true;        // answers the requests to report line events
    bool agreeReports = true;         // false: answers them agreeing to report nothing
    int modemState = -1;              // not -1: told once the modem lines are asked for
    std::string* received = nullptr;  // not null: keeps every byte the client sent
};

// Serves the Telnet side as told until the purge has been answered, then
// sends the payload and keeps the connection until the client closes it
// or the test ends.
void serveTelnet(int socket, const std::atomic<bool>& stopping, const TelnetBehaviour& behaviour,
                 const std::string& payload);

// Sends every byte, one write per byte when split.
void sendBytes(int socket, const std::string& bytes, bool split = false);

// The program is waiting for the port without a time limit, as it does
// only once the setup is complete (the setup's own waits are limited).
testing::AssertionResult waitSetUp(const Program& program,
                                   std::chrono::seconds patience = kPatience);

}  // namespace serialtap::test

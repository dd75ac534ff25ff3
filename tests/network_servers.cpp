#include "tests/network_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace serialtap::test {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Listening, seen without connecting: a connection would make ser2net open
// the device, and hold it for a moment after.
bool accepting(int port) {
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", static_cast<unsigned>(port));
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string remote;
        std::string state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

}  // namespace

int freeLocalPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return 0;
    }
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

Ser2net::Ser2net(const ScratchDir& dir, const std::string& device)
    : config_(dir.file("ser2net.yaml")) {
    telnetPort_ = freeLocalPort();
    tcpPort_ = freeLocalPort();
    std::ofstream(config_) << "connection: &telnet\n"
                           << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnetPort_ << "\n"
                           << "  connector: serialdev," << device << ",local\n"
                           << "connection: &raw\n"
                           << "  accepter: tcp,127.0.0.1," << tcpPort_ << "\n"
                           << "  connector: serialdev," << device << ",local\n";
}

testing::AssertionResult Ser2net::start() {
    pid_ = fork();
    if (pid_ == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        // -u: no UUCP lock files, which would outlive a killed server.
        execlp("ser2net", "ser2net", "-n", "-u", "-c", config_.c_str(), "-P",
               (config_ + ".pid").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    auto deadline = Clock::now() + kPatience;
    while (!(accepting(telnetPort_) && accepting(tcpPort_))) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return testing::AssertionFailure() << "ser2net ended with status " << status;
        }
        if (Clock::now() > deadline) return testing::AssertionFailure() << "ser2net never listened";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return testing::AssertionSuccess();
}

void Ser2net::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

FakeServer::FakeServer(const Script& script) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    // A failure here shows as a program that cannot connect.
    static_cast<void>(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address));
    static_cast<void>(listen(listener_, 4));
    socklen_t size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, script] {
        pollfd ready{listener_, POLLIN, 0};
        while (!stopping_ && poll(&ready, 1, 50) == 0) {
        }
        if (stopping_) return;
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        // Later connections are refused, as by a server that went away.
        close(listener_);
        listener_ = -1;
        if (client < 0) return;
        int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        script(client, stopping_);
        close(client);
    });
}

FakeServer::~FakeServer() {
    stopping_ = true;
    thread_.join();
    if (listener_ >= 0) close(listener_);
}

void sendBytes(int socket, const std::string& bytes, bool split) {
    std::size_t step = split ? 1 : bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        if (send(socket, bytes.data() + at, std::min(step, bytes.size() - at), MSG_NOSIGNAL) < 0) {
            return;
        }
        if (split) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

namespace {

constexpr char IAC = '\xFF', SB = '\xFA', SE = '\xF0', WILL = '\xFB', WONT = '\xFC', DO = '\xFD',
               DONT = '\xFE';

// The client's Com Port Control commands, taken out of what it sent.
struct CommandReader {
    std::string pending;

    // Gives the next complete command (its code and value), if any.
    bool next(std::uint8_t& code, std::string& value) {
        for (;;) {
            auto start = pending.find(std::string{IAC, SB, '\x2C'});
            if (start == std::string::npos) return false;
            auto end = pending.find(std::string{IAC, SE}, start);
            if (end == std::string::npos) return false;
            std::string body = pending.substr(start + 3, end - start - 3);
            pending.erase(0, end + 2);
            if (body.empty()) continue;
            code = static_cast<std::uint8_t>(body[0]);
            value.clear();
            for (std::size_t i = 1; i < body.size(); ++i) {
                value += body[i];
                if (body[i] == IAC) ++i;
            }
            return true;
        }
    }
};

std::string answer(std::uint8_t code, const std::string& value) {
    std::string out{IAC, SB, '\x2C', static_cast<char>(code + 100)};
    for (char byte : value) {
        out += byte;
        if (byte == IAC) out += IAC;
    }
    return out + std::string{IAC, SE};
}

}  // namespace

void serveTelnet(int socket, const std::atomic<bool>& stopping, const TelnetBehaviour& behaviour,
                 const std::string& payload) {
    sendBytes(socket,
              {IAC, DO, '\x00', IAC, behaviour.binary ? WILL : WONT, '\x00', IAC,
               behaviour.comPort ? DO : DONT, '\x2C'},
              behaviour.splitWrites);
    CommandReader reader;
    bool purged = false;
    while (!stopping) {
        pollfd ready{socket, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0) continue;
        char bytes[512];
        ssize_t got = recv(socket, bytes, sizeof bytes, 0);
        if (got <= 0) return;
        reader.pending.append(bytes, static_cast<std::size_t>(got));
        if (behaviour.received != nullptr) {
            behaviour.received->append(bytes, static_cast<std::size_t>(got));
        }
        std::uint8_t code = 0;
        std::string value;
        while (reader.next(code, value)) {
            bool query = code == 1 && value == std::string(4, '\0');
            bool reports = code == 10 || code == 11;
            if (reports ? !behaviour.answerReports
                        : !query && code != 12 && !behaviour.answerSettings) {
                continue;
            }
            if (code == 1 && !query && behaviour.answeredRate != 0) {
                std::uint32_t rate = behaviour.answeredRate;
                value = {static_cast<char>(rate >> 24), static_cast<char>(rate >> 16),
                         static_cast<char>(rate >> 8), static_cast<char>(rate)};
            }
            if (query) value = {0, 0, '\x25', static_cast<char>(0x80)};
            if (reports && !behaviour.agreeReports) value = std::string(1, '\0');
            sendBytes(socket, answer(code, value), behaviour.splitWrites);
            // The lines' state as it stands, told once they are asked for.
            if (code == 11 && behaviour.modemState >= 0) {
                sendBytes(socket,
                          answer(7, std::string(1, static_cast<char>(behaviour.modemState))),
                          behaviour.splitWrites);
            }
            if (code == 12 && !purged) {
                purged = true;
                sendBytes(socket, payload, behaviour.splitWrites);
                if (behaviour.closeAfterPayload) return;
                std::string nops;
                for (int i = 0; i < 4096; ++i) nops += "\xFF\xF1";
                while (behaviour.floodAfterPayload && !stopping &&
                       send(socket, nops.data(), nops.size(), MSG_NOSIGNAL) > 0) {
                }
            }
        }
    }
}

testing::AssertionResult waitSetUp(const Program& program, std::chrono::seconds patience) {
    auto deadline = Clock::now() + patience;
    std::string last;
    for (;;) {
        std::ifstream file("/proc/" + std::to_string(program.pid()) + "/syscall");
        std::vector<std::string> fields;
        for (std::string field; file >> field;) fields.push_back(field);
        // poll(fds, count, -1), or ppoll(fds, count, NULL, ...).
        if (fields.size() > 3 && ((fields[0] == "7" && (fields[3] == "0xffffffffffffffff" ||
                                                        fields[3] == "0xffffffff")) ||
                                  (fields[0] == "271" && fields[3] == "0x0"))) {
            return testing::AssertionSuccess();
        }
        if (!fields.empty()) last = fields[0] + " " + (fields.size() > 3 ? fields[3] : "");
        if (Clock::now() > deadline) {
            return testing::AssertionFailure() << "never waiting without limit; last in " << last;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace serialtap::test

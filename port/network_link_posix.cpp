// A TCP connection through the BSD socket calls.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "port/network_link.h"

namespace serialtap {

namespace {

// Shared by the link and its lookup thread, which may outlive the link: a
// lookup that hangs is abandoned, never waited for.
struct Lookup {
    std::mutex mutex;
    int readEnd = -1;
    int writeEnd = -1;
    addrinfo* found = nullptr;
    int error = 0;

    ~Lookup() {
        if (found != nullptr) freeaddrinfo(found);
        if (readEnd >= 0) ::close(readEnd);
        if (writeEnd >= 0) ::close(writeEnd);
    }
};

bool makePipe(int ends[2]) {
    if (pipe(ends) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        fcntl(ends[i], F_SETFD, FD_CLOEXEC);
        fcntl(ends[i], F_SETFL, O_NONBLOCK);
    }
    return true;
}

class PosixNetworkLink final : public NetworkLink {
public:
    ~PosixNetworkLink() override { close(); }

    bool beginLookup(const std::string& host, const std::string& service) override {
        // Lookups that never end are abandoned, not ended: past a few still
        // running, a try waits for them rather than leave another thread.
        if (lookupsRunning >= kMostLookups) return failWith(ETIMEDOUT);
        auto lookup = std::make_shared<Lookup>();
        int ends[2];
        if (!makePipe(ends)) return failWith(errno);
        lookup->readEnd = ends[0];
        lookup->writeEnd = ends[1];
        try {
            std::thread([lookup, host, service] {
                LookupCount counted;
                addrinfo hints{};
                hints.ai_family = AF_UNSPEC;
                hints.ai_socktype = SOCK_STREAM;
                addrinfo* found = nullptr;
                int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
                std::lock_guard<std::mutex> hold(lookup->mutex);
                lookup->found = found;
                lookup->error = result == EAI_SYSTEM ? errno : result;
                if (result != 0 && lookup->error == 0) lookup->error = EAI_FAIL;
                char done = 1;
                static_cast<void>(::write(lookup->writeEnd, &done, 1));
            }).detach();
        } catch (...) {
            return failWith(EAGAIN);
        }
        lookup_ = lookup;
        waitFd_ = lookup->readEnd;
        waitEvents_ = POLLIN;
        return true;
    }

    bool lookupResult(std::size_t& addresses) override {
        std::lock_guard<std::mutex> hold(lookup_->mutex);
        if (lookup_->error != 0) return failWith(lookup_->error);
        addresses_.clear();
        for (addrinfo* each = lookup_->found; each != nullptr; each = each->ai_next) {
            addresses_.push_back(each);
        }
        addresses = addresses_.size();
        return true;
    }

    bool beginConnect(std::size_t index) override {
        closeSocket();
        const addrinfo* address = addresses_[index];
        // Flags set apart, since macOS has no SOCK_CLOEXEC or SOCK_NONBLOCK.
        int fd = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (fd < 0) return failWith(errno);
        socket_ = fd;
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) return failWith(errno);
#ifdef SO_NOSIGPIPE
        int noSignal = 1;
        setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &noSignal, sizeof noSignal);
#endif
        waitFd_ = fd;
        waitEvents_ = POLLOUT;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0) return true;
        return errno == EINPROGRESS ? true : failWith(errno);
    }

    bool connectResult() override {
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        if (error != 0) return failWith(error);
        waitEvents_ = POLLIN;
        return true;
    }

    // Idle 10 s, then a probe every 5 s, 4 unanswered: a dead peer is
    // found within 30 s; unacknowledged data gives up after 30 s too.
    void keepAlive() override {
        int on = 1;
        setsockopt(socket_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        int nodelay = 1;
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
#ifdef TCP_KEEPIDLE
        int idle = 10;
        setsockopt(socket_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
#elif defined(TCP_KEEPALIVE)
        int idle = 10;
        setsockopt(socket_, IPPROTO_TCP, TCP_KEEPALIVE, &idle, sizeof idle);
#endif
#ifdef TCP_KEEPINTVL
        int interval = 5;
        setsockopt(socket_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
#endif
#ifdef TCP_KEEPCNT
        int count = 4;
        setsockopt(socket_, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
#ifdef TCP_USER_TIMEOUT
        unsigned int unacknowledged = 30000;
        setsockopt(socket_, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
#endif
    }

    long send(const std::uint8_t* bytes, std::size_t count) override {
        int flags = 0;
#ifdef MSG_NOSIGNAL
        flags = MSG_NOSIGNAL;
#endif
        for (;;) {
            ssize_t sent = ::send(socket_, bytes, count, flags);
            if (sent >= 0) return static_cast<long>(sent);
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            if (errno != EINTR) {
                failWith(errno);
                return -1;
            }
        }
    }

    long receive(std::uint8_t* bytes, std::size_t count) override {
        for (;;) {
            ssize_t got = ::recv(socket_, bytes, count, 0);
            if (got >= 0) return static_cast<long>(got);
            if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
            if (errno != EINTR) {
                failWith(errno);
                return -1;
            }
        }
    }

    void addSources(WaitSet& set, std::size_t port, bool wantSend) override {
        if (waitFd_ < 0) return;
        bool output = wantSend || (waitEvents_ & POLLOUT) != 0;
        bool input = (waitEvents_ & POLLIN) != 0;
        Interest interest = input && output ? Interest::Both
                            : output        ? Interest::Output
                                            : Interest::Input;
        set.add(SourceName::Port, port, waitFd_, interest);
    }

    LinkWait look(bool wantSend) override {
        if (waitFd_ < 0) return LinkWait::NotYet;
        pollfd ready{waitFd_, static_cast<short>(waitEvents_ | (wantSend ? POLLOUT : 0)), 0};
        int found = ::poll(&ready, 1, 0);
        if (found < 0) {
            if (errno == EINTR) return LinkWait::NotYet;
            failWith(errno);
            return LinkWait::Failed;
        }
        return ready.revents != 0 ? LinkWait::Ready : LinkWait::NotYet;
    }

    void close() override {
        closeSocket();
        // A lookup still running finishes on its own and frees what it found.
        lookup_.reset();
        addresses_.clear();
        waitFd_ = -1;
    }

    int lastError() const override { return error_; }

    NetworkErrorCodes codes() const override {
        return {EINVAL, EINVAL, ETIMEDOUT, ECONNRESET, EPROTO};
    }

    bool meansNoServer(int code) const override {
        return code < 0 || code == ECONNREFUSED || code == EHOSTUNREACH || code == ENETUNREACH ||
               code == ETIMEDOUT || code == EHOSTDOWN || code == ENETDOWN;
    }

private:
    void closeSocket() {
        if (socket_ >= 0) ::close(socket_);
        socket_ = -1;
    }

    bool failWith(int code) {
        error_ = code;
        return false;
    }

    std::shared_ptr<Lookup> lookup_;
    std::vector<const addrinfo*> addresses_;
    int socket_ = -1;
    int waitFd_ = -1;
    short waitEvents_ = 0;
    int error_ = 0;
};

}  // namespace

std::unique_ptr<NetworkLink> makePlatformLink() { return std::make_unique<PosixNetworkLink>(); }

}  // namespace serialtap

// A TCP connection through Winsock. The socket reports through an event
// (WSAEventSelect), so that one WaitForMultipleObjects watches it together
// with the console and the stop request.

// Winsock before windows.h, and mstcpip.h after both.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mstcpip.h>
// clang-format on

#include <memory>
#include <mutex>
#include <thread>

#include "port/network_link.h"

namespace serialtap {

namespace {

// Shared by the link and its lookup thread, which may outlive the link: a
// lookup that hangs is abandoned, never waited for.
struct Lookup {
    std::mutex mutex;
    HANDLE done = nullptr;
    addrinfo* found = nullptr;
    int error = 0;

    ~Lookup() {
        if (found != nullptr) freeaddrinfo(found);
        if (done != nullptr) CloseHandle(done);
    }
};

bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

class Win32NetworkLink final : public NetworkLink {
public:
    Win32NetworkLink() { startWinsock(); }
    ~Win32NetworkLink() override { close(); }
    Win32NetworkLink(const Win32NetworkLink&) = delete;
    Win32NetworkLink& operator=(const Win32NetworkLink&) = delete;

    bool beginLookup(const std::string& host, const std::string& service) override {
        // Lookups that never end are abandoned, not ended: past a few still
        // running, a try waits for them rather than leave another thread.
        if (lookupsRunning >= kMostLookups) return failWith(WSAETIMEDOUT);
        auto lookup = std::make_shared<Lookup>();
        lookup->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (lookup->done == nullptr) return failWith(static_cast<int>(GetLastError()));
        try {
            std::thread([lookup, host, service] {
                LookupCount counted;
                addrinfo hints{};
                hints.ai_family = AF_UNSPEC;
                hints.ai_socktype = SOCK_STREAM;
                hints.ai_protocol = IPPROTO_TCP;
                addrinfo* found = nullptr;
                int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
                std::lock_guard<std::mutex> hold(lookup->mutex);
                lookup->found = found;
                lookup->error = result;
                SetEvent(lookup->done);
            }).detach();
        } catch (...) {
            return failWith(ERROR_NOT_ENOUGH_MEMORY);
        }
        lookup_ = lookup;
        waitHandle_ = lookup->done;
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
        SOCKET made = WSASocketW(address->ai_family, address->ai_socktype, address->ai_protocol,
                                 nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (made == INVALID_SOCKET) return failWith(WSAGetLastError());
        socket_ = made;
        event_ = WSACreateEvent();
        if (event_ == WSA_INVALID_EVENT) return failWith(WSAGetLastError());
        // The socket becomes non-blocking here.
        if (WSAEventSelect(socket_, event_, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            return failWith(WSAGetLastError());
        }
        waitHandle_ = event_;
        connecting_ = true;
        connectError_ = 0;
        closed_ = false;
        readable_ = false;
        if (::connect(socket_, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0) {
            return true;
        }
        int error = WSAGetLastError();
        return error == WSAEWOULDBLOCK ? true : failWith(error);
    }

    bool connectResult() override {
        connecting_ = false;
        return connectError_ == 0 ? true : failWith(connectError_);
    }

    // Idle 10 s, then a probe every 5 s (Windows sends 10, or the count
    // asked where it takes one): a dead peer is found within a minute.
    void keepAlive() override {
        tcp_keepalive wanted{};
        wanted.onoff = 1;
        wanted.keepalivetime = 10000;
        wanted.keepaliveinterval = 5000;
        DWORD unused = 0;
        WSAIoctl(socket_, SIO_KEEPALIVE_VALS, &wanted, sizeof wanted, nullptr, 0, &unused, nullptr,
                 nullptr);
#ifdef TCP_KEEPCNT
        DWORD count = 4;
        setsockopt(socket_, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count),
                   sizeof count);
#endif
        BOOL nodelay = TRUE;
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nodelay),
                   sizeof nodelay);
    }

    long send(const std::uint8_t* bytes, std::size_t count) override {
        int sent =
            ::send(socket_, reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
        if (sent >= 0) return sent;
        int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return 0;
        failWith(error);
        return -1;
    }

    long receive(std::uint8_t* bytes, std::size_t count) override {
        readable_ = false;
        int got = ::recv(socket_, reinterpret_cast<char*>(bytes), static_cast<int>(count), 0);
        if (got >= 0) return got;
        int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return -2;
        failWith(error);
        return -1;
    }

    // Input or a close already seen (with the connect, say) is not
    // signalled again until a receive has been made.
    void addSources(WaitSet& set, std::size_t port, bool) override {
        if (!connecting_ && (closed_ || readable_)) set.serveNow();
        if (waitHandle_ != nullptr) {
            set.add(SourceName::Port, port, reinterpret_cast<NativeHandle>(waitHandle_));
        }
    }

    LinkWait look(bool) override {
        if (!connecting_ && (closed_ || readable_)) return LinkWait::Ready;
        if (waitHandle_ == nullptr) return LinkWait::NotYet;
        DWORD result = WaitForSingleObject(waitHandle_, 0);
        if (result == WAIT_TIMEOUT) return LinkWait::NotYet;
        if (result != WAIT_OBJECT_0) {
            failWith(static_cast<int>(GetLastError()));
            return LinkWait::Failed;
        }
        if (waitHandle_ == event_ && event_ != nullptr) noteEvents();
        return LinkWait::Ready;
    }

    void close() override {
        closeSocket();
        lookup_.reset();
        addresses_.clear();
        waitHandle_ = nullptr;
    }

    int lastError() const override { return error_; }

    NetworkErrorCodes codes() const override {
        return {ERROR_INVALID_NAME, ERROR_BAD_COMMAND, WSAETIMEDOUT, WSAECONNRESET,
                ERROR_INVALID_DATA};
    }

    bool meansNoServer(int code) const override {
        switch (code) {
            case WSAECONNREFUSED:
            case WSAEHOSTUNREACH:
            case WSAENETUNREACH:
            case WSAETIMEDOUT:
            case WSAENETDOWN:
            case WSAHOST_NOT_FOUND:
            case WSATRY_AGAIN:
            case WSANO_DATA:
                return true;
            default:
                return false;
        }
    }

private:
    // Resets the socket's event and keeps what it told.
    void noteEvents() {
        WSANETWORKEVENTS events{};
        if (WSAEnumNetworkEvents(socket_, event_, &events) != 0) return;
        if ((events.lNetworkEvents & FD_CONNECT) != 0) {
            connectError_ = events.iErrorCode[FD_CONNECT_BIT];
        }
        if ((events.lNetworkEvents & FD_CLOSE) != 0) closed_ = true;
        if ((events.lNetworkEvents & FD_READ) != 0) readable_ = true;
    }

    void closeSocket() {
        if (socket_ != INVALID_SOCKET) closesocket(socket_);
        socket_ = INVALID_SOCKET;
        if (event_ != nullptr) WSACloseEvent(event_);
        event_ = nullptr;
        closed_ = false;
    }

    bool failWith(int code) {
        error_ = code;
        return false;
    }

    std::shared_ptr<Lookup> lookup_;
    std::vector<const addrinfo*> addresses_;
    SOCKET socket_ = INVALID_SOCKET;
    WSAEVENT event_ = nullptr;
    HANDLE waitHandle_ = nullptr;
    bool connecting_ = false;
    int connectError_ = 0;
    bool closed_ = false;
    bool readable_ = false;
    int error_ = 0;
};

}  // namespace

std::unique_ptr<NetworkLink> makePlatformLink() { return std::make_unique<Win32NetworkLink>(); }

}  // namespace serialtap

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "port/serial_device.h"

namespace serialtap {

// The platform's error codes that the network device gives itself.
struct NetworkErrorCodes {
    int badName;   // a malformed port name
    int invalid;   // a value the server did not take
    int timedOut;  // no answer in time
    int reset;     // the server closed the connection
    int protocol;  // the server broke the Telnet rules
};

enum class LinkWait { Ready, NotYet, Failed };

// A TCP connection with the platform's calls and nothing else: a name
// lookup on a helper thread, a non-blocking connect, and sends, receives
// and looks that never wait; the capture's one wait watches its handle.
class NetworkLink {
public:
    virtual ~NetworkLink() = default;

    // Starts looking up the name; the lookup's end makes look() ready.
    virtual bool beginLookup(const std::string& host, const std::string& service) = 0;
    // After look() was ready: false with the lookup's error code if it failed.
    virtual bool lookupResult(std::size_t& addresses) = 0;
    // Starts connecting to one of the addresses found; its end makes
    // look() ready.
    virtual bool beginConnect(std::size_t address) = 0;
    virtual bool connectResult() = 0;
    // Short keepalive intervals, so that a dead link is noticed.
    virtual void keepAlive() = 0;
    // What could be sent or received without waiting; -1 on failure, and a
    // receive gives 0 when the server has closed. Nothing to receive yet is
    // 0 from send and -2 from receive.
    virtual long send(const std::uint8_t* bytes, std::size_t count) = 0;
    virtual long receive(std::uint8_t* bytes, std::size_t count) = 0;
    // Adds what the current step (lookup, connect, input; also room to
    // send when asked) waits on to the capture's one wait; input already
    // seen that nothing will signal again asks for no wait.
    virtual void addSources(WaitSet& set, std::size_t port, bool wantSend) = 0;
    // Whether the current step can go on now, without waiting.
    virtual LinkWait look(bool wantSend) = 0;
    virtual void close() = 0;
    virtual int lastError() const = 0;
    virtual NetworkErrorCodes codes() const = 0;
    // Whether an open that failed with this code found no server there now
    // (refused, unreachable, no such name), rather than one refusing us.
    virtual bool meansNoServer(int code) const = 0;
};

std::unique_ptr<NetworkLink> makePlatformLink();

// The name lookups still running in the process, abandoned ones included:
// past this many, a link starts no other (it fails as timed out).
constexpr int kMostLookups = 4;
inline std::atomic<int> lookupsRunning{0};

// Counts a lookup's thread while it runs.
struct LookupCount {
    LookupCount() { ++lookupsRunning; }
    ~LookupCount() { --lookupsRunning; }
    LookupCount(const LookupCount&) = delete;
    LookupCount& operator=(const LookupCount&) = delete;
};

}  // namespace serialtap

#pragma once

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

enum class LinkWait { Ready, Woken, TimedOut, Failed };

// A TCP connection with the platform's calls and nothing else: a name
// lookup on a helper thread, a non-blocking connect, sends and receives
// that never wait, and one wait that also watches the wake handles.
class NetworkLink {
public:
    virtual ~NetworkLink() = default;

    // Starts looking up the name; the lookup's end makes wait() ready.
    virtual bool beginLookup(const std::string& host, const std::string& service) = 0;
    // After wait() was ready: false with the lookup's error code if it failed.
    virtual bool lookupResult(std::size_t& addresses) = 0;
    // Starts connecting to one of the addresses found; its end makes
    // wait() ready.
    virtual bool beginConnect(std::size_t address) = 0;
    virtual bool connectResult() = 0;
    // Short keepalive intervals, so that a dead link is noticed.
    virtual void keepAlive() = 0;
    // What could be sent or received without waiting; -1 on failure, and a
    // receive gives 0 when the server has closed. Nothing to receive yet is
    // 0 from send and -2 from receive.
    virtual long send(const std::uint8_t* bytes, std::size_t count) = 0;
    virtual long receive(std::uint8_t* bytes, std::size_t count) = 0;
    // Waits until the current step (lookup, connect, input; also room to
    // send when asked) can go on, or a wake handle is ready.
    virtual LinkWait wait(bool wantSend, const std::vector<NativeHandle>& wakes,
                          std::uint32_t milliseconds) = 0;
    // Whether a wake handle was ready when the last wait ended.
    virtual bool wakeReady() const = 0;
    // What another port's wait can wait on for this link's input, and
    // whether input was seen that it will not signal again.
    virtual std::optional<NativeHandle> readyHandle() const { return std::nullopt; }
    virtual bool holdsInput() const { return false; }
    virtual void close() = 0;
    virtual int lastError() const = 0;
    virtual NetworkErrorCodes codes() const = 0;
    // Whether an open that failed with this code found no server there now
    // (refused, unreachable, no such name), rather than one refusing us.
    virtual bool meansNoServer(int code) const = 0;
};

std::unique_ptr<NetworkLink> makePlatformLink();

}  // namespace serialtap

#pragma once

#include <optional>
#include <string>

namespace serialtap {

// A port on another machine: rfc2217://HOST:PORT (Telnet with Com Port
// Control) or tcp://HOST:PORT (the bytes as they come). HOST is a name, an
// IPv4 address or an IPv6 address in brackets.
struct NetworkAddress {
    bool telnet = false;
    std::string host;
    std::string service;
};

bool isNetworkPortName(const std::string& portName);
// None when the name is a network port name that is malformed.
std::optional<NetworkAddress> parseNetworkPortName(const std::string& portName);

}  // namespace serialtap

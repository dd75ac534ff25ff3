#include "port/network_address.h"

namespace serialtap {

namespace {

constexpr const char kTelnetScheme[] = "rfc2217://";
constexpr const char kTcpScheme[] = "tcp://";

// Schemes are case-insensitive: TCP:// is tcp://.
bool startsWith(const std::string& text, const char* prefix) {
    std::size_t length = std::char_traits<char>::length(prefix);
    if (text.size() < length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        char c =
            text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != prefix[i]) return false;
    }
    return true;
}

bool isPortNumber(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

}  // namespace

bool isNetworkPortName(const std::string& portName) {
    return startsWith(portName, kTelnetScheme) || startsWith(portName, kTcpScheme);
}

std::optional<NetworkAddress> parseNetworkPortName(const std::string& portName) {
    NetworkAddress address;
    std::string rest;
    if (startsWith(portName, kTelnetScheme)) {
        address.telnet = true;
        rest = portName.substr(std::char_traits<char>::length(kTelnetScheme));
    } else if (startsWith(portName, kTcpScheme)) {
        rest = portName.substr(std::char_traits<char>::length(kTcpScheme));
    } else {
        return std::nullopt;
    }
    std::string::size_type colon;
    if (!rest.empty() && rest[0] == '[') {
        auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            return std::nullopt;
        }
        address.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return std::nullopt;
        address.host = rest.substr(0, colon);
        // An IPv6 address is written in brackets, so a second colon is an error.
        if (address.host.find(':') != std::string::npos) return std::nullopt;
    }
    address.service = rest.substr(colon + 1);
    if (address.host.empty() || !isPortNumber(address.service)) return std::nullopt;
    // No host name or address holds these; a space or a control character
    // is a slip of the script that wrote the name.
    for (char c : address.host) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == 0x7F) return std::nullopt;
        for (char never : {'/', '[', ']', '@', '?', '#'}) {
            if (c == never) return std::nullopt;
        }
    }
    return address;
}

}  // namespace serialtap

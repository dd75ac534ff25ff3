#include "port/port_list.h"

#include <algorithm>
#include <cctype>

namespace serialtap {

const char kNoPortsText[] = "no serial ports found\n";

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool equalNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return upper(x) == upper(y); });
}

// Keeps a line one line and its fields apart, and the terminal as it is:
// control characters (C1 ones too), bytes that are no character and
// double quotes, which no name needs, are shown as '?'.
std::string field(const char* key, const std::string& value, TextEncoding encoding) {
    std::string shown = visibleText(value, encoding, '?', false);
    bool space = false;
    for (char& c : shown) {
        if (c == '"') c = '?';
        space = space || c == ' ';
    }
    if (space || shown.empty()) shown = '"' + shown + '"';
    return std::string(" ") + key + "=" + shown;
}

// Four hex digits after the marker, as in USB\VID_0403&PID_6001.
std::string hexAfter(const std::string& text, const std::string& marker) {
    std::string upperText;
    for (char c : text) upperText += upper(c);
    std::size_t at = upperText.find(marker);
    if (at == std::string::npos || at + marker.size() + 4 > text.size()) return "";
    std::string digits = upperText.substr(at + marker.size(), 4);
    for (char c : digits) {
        if (!isDigit(c) && (c < 'A' || c > 'F')) return "";
    }
    std::string lower;
    for (char c : digits) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool isComName(const std::string& name) {
    return name.size() > 3 && equalNoCase(name.substr(0, 3), "COM");
}

}  // namespace

bool portNameLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t iEnd = i;
            std::size_t jEnd = j;
            while (iEnd < a.size() && isDigit(a[iEnd])) ++iEnd;
            while (jEnd < b.size() && isDigit(b[jEnd])) ++jEnd;
            // Leading zeros aside, a longer run is a larger number.
            std::size_t iStart = i;
            std::size_t jStart = j;
            while (iStart + 1 < iEnd && a[iStart] == '0') ++iStart;
            while (jStart + 1 < jEnd && b[jStart] == '0') ++jStart;
            if (iEnd - iStart != jEnd - jStart) return iEnd - iStart < jEnd - jStart;
            int order = a.compare(iStart, iEnd - iStart, b, jStart, jEnd - jStart);
            if (order != 0) return order < 0;
            i = iEnd;
            j = jEnd;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

std::string describePort(const PortInfo& port, TextEncoding encoding) {
    std::string line = visibleText(port.name, encoding, '?', false);
    const std::pair<const char*, const std::string*> fields[] = {
        {"description", &port.description},
        {"driver", &port.driver},
        {"usb", &port.usbId},
        {"manufacturer", &port.manufacturer},
        {"product", &port.product},
        {"serial", &port.serialNumber},
        {"hardware-id", &port.hardwareId},
    };
    for (const auto& [key, value] : fields) {
        if (!value->empty()) line += field(key, *value, encoding);
    }
    for (const std::string& link : port.byId) line += field("by-id", link, encoding);
    for (const std::string& link : port.byPath) line += field("by-path", link, encoding);
    return line;
}

std::string portListText(std::vector<PortInfo> ports, TextEncoding encoding) {
    if (ports.empty()) return kNoPortsText;
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return portNameLess(a.name, b.name); });
    std::string text;
    for (PortInfo& port : ports) {
        std::sort(port.byId.begin(), port.byId.end());
        std::sort(port.byPath.begin(), port.byPath.end());
        text += describePort(port, encoding) + "\n";
    }
    return text;
}

std::vector<PortInfo> windowsPorts(const std::vector<WindowsPortRecord>& devices,
                                   const std::vector<SerialCommEntry>& serialComm) {
    std::vector<PortInfo> ports;
    auto listed = [&ports](const std::string& name) {
        return std::any_of(ports.begin(), ports.end(),
                           [&name](const PortInfo& port) { return equalNoCase(port.name, name); });
    };
    // The ports class holds parallel ports too; only COM ports can be captured from.
    for (const WindowsPortRecord& device : devices) {
        if (!isComName(device.portName) || listed(device.portName)) continue;
        PortInfo port;
        port.name = device.portName;
        port.description = device.friendlyName;
        port.driver = device.service;
        port.manufacturer = device.manufacturer;
        port.hardwareId = device.hardwareId;
        std::string vendor = hexAfter(device.hardwareId, "VID_");
        std::string product = hexAfter(device.hardwareId, "PID_");
        if (!vendor.empty() && !product.empty()) {
            port.usbId = vendor;
            port.usbId += ":";
            port.usbId += product;
        }
        ports.push_back(port);
    }
    for (const SerialCommEntry& entry : serialComm) {
        if (!isComName(entry.portName) || listed(entry.portName)) continue;
        PortInfo port;
        port.name = entry.portName;
        port.description = entry.deviceName;
        ports.push_back(port);
    }
    return ports;
}

}  // namespace serialtap

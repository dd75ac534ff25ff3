#include "app/line_identity.h"

#include <algorithm>

#include "app/line_event_log.h"
#include "port/network_address.h"
#include "port/visible_text.h"

namespace serialtap {

namespace {

std::string settingsText(const PortSettings& settings) {
    static const char kParity[] = "NOEMS";
    static const char* const kStop[] = {"1", "1.5", "2"};
    std::string text = std::to_string(settings.baudRate) + ' ' +
                       std::to_string(static_cast<unsigned>(settings.byteSize));
    text += settings.parity < 5 ? kParity[settings.parity] : '?';
    text += settings.stopBits < 3 ? kStop[settings.stopBits] : "?";
    return text;
}

const PortInfo* adapterOf(const std::string& name, const std::vector<PortInfo>& known) {
    for (const PortInfo& port : known) {
        auto named = [&name](const std::string& link) { return link == name; };
        if (port.name == name || std::any_of(port.byId.begin(), port.byId.end(), named) ||
            std::any_of(port.byPath.begin(), port.byPath.end(), named)) {
            return &port;
        }
    }
    return nullptr;
}

}  // namespace

std::string identityText(const PortSettings& settings, const std::vector<PortInfo>& known,
                         std::optional<std::uint32_t> modemLines) {
    std::string text = visibleText(settings.portName, TextEncoding::Utf8, '?', false) + ' ';
    // A raw TCP port carries no line settings: its server keeps its own.
    std::optional<NetworkAddress> network = parseNetworkPortName(settings.portName);
    text +=
        network && !network->telnet ? "with the server's line settings" : settingsText(settings);
    if (const PortInfo* adapter = adapterOf(settings.portName, known)) {
        std::string described = describePort(*adapter, TextEncoding::Utf8);
        // What follows the name: its key=value fields.
        std::size_t fields = described.find(' ');
        if (fields != std::string::npos) text += ", adapter" + described.substr(fields);
    }
    text += modemLines ? ", " + modemLinesText(*modemLines) : ", no modem lines";
    return text;
}

std::string droppedText(const DropCount& dropped) {
    const std::string tail = " dropped by the system before serialtap read them";
    if (dropped.uncounted == 0) {
        if (dropped.bytes == 0) return {};
        return std::to_string(dropped.bytes) + (dropped.bytes == 1 ? " byte was" : " bytes were") +
               tail + "\n";
    }
    std::string times =
        std::to_string(dropped.uncounted) + (dropped.uncounted == 1 ? " time" : " times");
    if (dropped.bytes == 0)
        return "bytes were" + tail + ", " + times + "; the system gives no count\n";
    return "at least " + std::to_string(dropped.bytes) + " bytes were" + tail + "\n";
}

}  // namespace serialtap

#include "app/captured_port.h"

#include <utility>

namespace serialtap {

std::string portLabel(const std::string& portName) {
    static const std::string kDevices = "/dev/";
    if (portName.compare(0, kDevices.size(), kDevices) == 0 && portName.size() > kDevices.size()) {
        return portName.substr(kDevices.size());
    }
    return portName;
}

CapturedPort::CapturedPort(SerialDevice& device, std::unique_ptr<SerialDevice> owned,
                           std::FILE* messages, PortSettings settings, std::size_t index,
                           bool reconnect)
    : owned_(std::move(owned)),
      device_(device),
      settings_(std::move(settings)),
      index_(index),
      label_(portLabel(settings_.portName)),
      port_(device, messages),
      reconnect_(port_, settings_, messages, reconnect) {}

void CapturedPort::sendMessagesTo(MessagePath& messages, bool labelled) {
    std::string prefix = labelled ? label_ + ": " : std::string();
    port_.setMessageOutput([&messages, prefix](const char* text) { messages.say(prefix + text); });
    reconnect_.setMessageOutput(
        [&messages, prefix](const std::string& text) { messages.say(prefix + text); });
}

}  // namespace serialtap

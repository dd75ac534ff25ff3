#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "app/message_path.h"
#include "app/reconnect.h"
#include "port/port_settings.h"
#include "port/serial_port.h"

namespace serialtap {

// One port of a capture: what it is called, its SerialPort (whose state
// is fresh at every open) and its reconnect. Each port of a capture of
// several has one, and fails, goes away and comes back on its own.
class CapturedPort {
public:
    // device is the port's own; owned, when given as owned.
    CapturedPort(SerialDevice& device, std::unique_ptr<SerialDevice> owned, std::FILE* messages,
                 PortSettings settings, std::size_t index, bool reconnect);

    // The port's messages go this way, after its label when it is one of several.
    void sendMessagesTo(MessagePath& messages, bool labelled);
    // The setup steps, with their messages.
    bool open() { return port_.open(settings_); }

    SerialDevice& device() { return device_; }
    const PortSettings& settings() const { return settings_; }
    SerialPort& port() { return port_; }
    const SerialPort& port() const { return port_; }
    Reconnect& reconnect() { return reconnect_; }
    const Reconnect& reconnect() const { return reconnect_; }
    bool present() const { return !reconnect_.away(); }
    // What the port waits on in the capture's wait, there or away.
    void addSources(WaitSet& set) {
        if (present()) {
            port_.addSources(set, index_);
        } else {
            reconnect_.addSources(set, index_);
        }
    }
    std::size_t index() const { return index_; }
    const std::string& label() const { return label_; }

private:
    std::unique_ptr<SerialDevice> owned_;
    SerialDevice& device_;
    PortSettings settings_;
    std::size_t index_;
    std::string label_;
    SerialPort port_;
    Reconnect reconnect_;
};

// The short name a port's lines carry: the name as given, without /dev/.
std::string portLabel(const std::string& portName);

}  // namespace serialtap

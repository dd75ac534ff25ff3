#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "port/serial_device.h"

namespace serialtap {

// How long each stage of opening a network port may take.
constexpr std::uint32_t kLookupMs = 10000;
constexpr std::uint32_t kConnectMs = 10000;
// Each Telnet negotiation and each answer to a Com Port Control command.
constexpr std::uint32_t kAnswerMs = 5000;

// A port on another machine as a device: rfc2217:// or tcp://.
std::unique_ptr<SerialDevice> makeNetworkDevice();

// The device for a port name: a network device for network port names,
// the platform's serial device for every other name.
std::unique_ptr<SerialDevice> makeDeviceFor(const std::string& portName);

}  // namespace serialtap

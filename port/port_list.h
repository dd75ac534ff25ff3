#pragma once

#include <string>
#include <vector>

#include "port/visible_text.h"

namespace serialtap {

// One serial port of this machine, as the port list shows it. Fields the
// system does not tell stay empty and are left out of the line.
struct PortInfo {
    std::string name;  // what to pass to -c
    std::string description;
    std::string driver;
    std::string usbId;  // vendor:product, four hex digits each
    std::string manufacturer;
    std::string product;
    std::string serialNumber;
    std::string hardwareId;
    std::vector<std::string> byId;  // stable aliases: /dev/serial/by-id/...
    std::vector<std::string> byPath;
};

// The serial ports of this machine, in no particular order.
std::vector<PortInfo> findPorts();

// One line, without its line break: the name, then key=value fields;
// values holding a space are put in double quotes.
// Names and values are shown safe for a terminal in this encoding.
std::string describePort(const PortInfo& port, TextEncoding encoding = localeEncoding());

// What --list prints: the ports sorted by name (numbers in names compared
// as numbers, so ttyS2 comes before ttyS10), one line each, or one line
// saying there are none.
std::string portListText(std::vector<PortInfo> ports, TextEncoding encoding = localeEncoding());

extern const char kNoPortsText[];

// Whether a sorts before b, digit runs compared by their value.
bool portNameLess(const std::string& a, const std::string& b);

// What Windows tells of one device of its ports class.
struct WindowsPortRecord {
    std::string portName;  // PortName of the device's registry key, e.g. COM3
    std::string friendlyName;
    std::string hardwareId;  // the first of the device's hardware ids
    std::string manufacturer;
    std::string service;  // the driver's service name
};

// One value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
struct SerialCommEntry {
    std::string deviceName;  // the value's name, e.g. \Device\Serial0
    std::string portName;    // its data, e.g. COM1
};

// The Windows port list from what the system reports: the COM ports of the
// ports class, then the SERIALCOMM ports that class did not name.
std::vector<PortInfo> windowsPorts(const std::vector<WindowsPortRecord>& devices,
                                   const std::vector<SerialCommEntry>& serialComm);

}  // namespace serialtap

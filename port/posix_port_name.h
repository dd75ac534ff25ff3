#pragma once

#include <string>

namespace serialtap {

// COMn names the n-th serial port, /dev/ttyS(n-1); a name with a slash is a
// path; any other name is a device under /dev/.
std::string posixDevicePath(const std::string& portName);

}  // namespace serialtap

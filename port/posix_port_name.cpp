#include "port/posix_port_name.h"

namespace serialtap {

std::string posixDevicePath(const std::string& portName) {
    if (portName.find('/') != std::string::npos) return portName;
    const std::string prefix = "COM";
    std::size_t digits = portName.size() - (portName.size() >= prefix.size() ? prefix.size() : 0);
    if (portName.compare(0, prefix.size(), prefix) == 0 && digits > 0 && digits <= 9 &&
        portName.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
        unsigned long number = std::stoul(portName.substr(prefix.size()));
        if (number >= 1) return "/dev/ttyS" + std::to_string(number - 1);
    }
    return "/dev/" + portName;
}

}  // namespace serialtap

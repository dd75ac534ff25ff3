#include <filesystem>
#include <string>
#include <vector>

#include "port/port_list.h"

namespace serialtap {

// Other POSIX systems (macOS): the call-out devices, /dev/cu.*, which open
// without waiting for the carrier.
std::vector<PortInfo> findPorts() {
    namespace fs = std::filesystem;
    std::vector<PortInfo> ports;
    std::error_code error;
    for (fs::directory_iterator it("/dev", error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.compare(0, 3, "cu.") != 0) continue;
        PortInfo port;
        port.name = "/dev/" + name;
        ports.push_back(port);
    }
    return ports;
}

}  // namespace serialtap

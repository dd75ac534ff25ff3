#include <dirent.h>

#include <string>
#include <vector>

#include "port/port_list.h"

namespace serialtap {

// Other POSIX systems (macOS): the call-out devices, /dev/cu.*, which open
// without waiting for the carrier.
std::vector<PortInfo> findPorts() {
    std::vector<PortInfo> ports;
    DIR* folder = opendir("/dev");
    if (folder == nullptr) return ports;
    while (const dirent* entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name.compare(0, 3, "cu.") == 0) {
            PortInfo port;
            port.name = "/dev/" + name;
            ports.push_back(port);
        }
    }
    closedir(folder);
    return ports;
}

}  // namespace serialtap

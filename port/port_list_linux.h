#pragma once

#include <string>
#include <vector>

#include "port/port_list.h"

namespace serialtap {

// Where the lister reads the system from; tests point it at a folder laid
// out as these are.
struct SystemRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
};

// The ports under <sys>/class/tty with a device behind them, less the
// legacy UART ports the driver found no UART for.
std::vector<PortInfo> findLinuxPorts(const SystemRoots& roots);

}  // namespace serialtap

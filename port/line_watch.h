#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace serialtap {

// What a driver has counted on a port since it was set up, where it keeps
// counts (a UART or USB adapter on Linux); each wraps around, so only the
// difference between two readings means anything.
struct DriverCounts {
    // Bytes lost before reaching the terminal: the UART's FIFO overran or
    // the driver's buffer was full.
    std::uint32_t dropped = 0;
    std::uint32_t frame = 0;
    std::uint32_t parity = 0;
};

// None for a port without counts (a pseudo-terminal), or where the
// platform has none to give.
std::optional<DriverCounts> readDriverCounts(int fd);

// Makes the capture's wait wake when a port's modem lines change, without
// polling them: handle() becomes readable after a change.
class ModemLineWatch {
public:
    virtual ~ModemLineWatch() = default;
    virtual int handle() const = 0;
    // Empties the handle once its wake has been seen.
    virtual void drain() = 0;
};

// Null where the platform cannot wait for the lines to change: the lines
// are then looked at only when the port is read.
std::unique_ptr<ModemLineWatch> watchModemLines(int fd);

}  // namespace serialtap

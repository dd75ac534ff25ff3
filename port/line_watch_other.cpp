#include "port/line_watch.h"

namespace serialtap {

// Neither the driver counts nor a wait for the modem lines (TIOCMIWAIT)
// are there outside Linux.
std::optional<DriverCounts> readDriverCounts(int) { return std::nullopt; }

std::unique_ptr<ModemLineWatch> watchModemLines(int) { return nullptr; }

}  // namespace serialtap

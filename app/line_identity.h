#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "port/line_event.h"
#include "port/port_list.h"
#include "port/port_settings.h"

namespace serialtap {

// What the first event line of a port says (after "capture began" and its
// time): the port as named, its line settings, the adapter as the port
// list shows it where the system knows it, and its modem lines or that it
// has none.
std::string identityText(const PortSettings& settings, const std::vector<PortInfo>& known,
                         std::optional<std::uint32_t> modemLines);

// Bytes the system dropped on a port, as the capture's end says them;
// empty when none were.
std::string droppedText(const DropCount& dropped);

}  // namespace serialtap

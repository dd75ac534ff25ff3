#pragma once

#include "tools/content_source.h"
#include "tools/device_options.h"
#include "tools/pseudo_terminal.h"

namespace serialtap::device {

// Sends the content to the port until the count is done and the port has
// taken it, or until stopFd becomes readable. Gives the exit status.
int runDevice(const PseudoTerminal& terminal, const DeviceOptions& options, ContentSource& source,
              int stopFd);

}  // namespace serialtap::device

#pragma once

#include <termios.h>

#include "port/port_settings.h"
#include "port/serial_device.h"

namespace serialtap {

// Writes the four line settings into a termios record and makes the line
// discipline transparent, keeping flow control and everything else as it
// was. Gives 0, or EINVAL for a combination a serial port refuses. A rate
// without a B constant leaves the speed alone and sets needsCustomBaud.
int applyLineSettings(termios& terminal, const LineSettings& settings, bool& needsCustomBaud);

// Has the line discipline mark, among the bytes, what the line did besides
// sending them (breaks, framing and parity errors), each byte kept; the
// settings of a capture that watches its line.
void markLineConditions(termios& terminal);

LineSettings readLineSettings(const termios& terminal);

// Whether a character device of this major number is the slave side of a
// pseudo-terminal, which has no framing to set and forces 8 bits.
bool isPseudoTerminalMajor(unsigned major);

}  // namespace serialtap

#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "app/status_line.h"

namespace serialtap {

// Standard error, where the status line is drawn.
std::unique_ptr<StatusDisplay> standardErrorDisplay();
bool standardErrorIsTerminal();

// Writes received bytes to a stream at once: on a terminal as its text
// mode shows them, elsewhere unchanged (no LF to CR LF on Windows).
bool writeShown(std::FILE* stream, const std::string& bytes, bool terminal);

}  // namespace serialtap

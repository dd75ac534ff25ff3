#pragma once

#include <memory>

#include "app/status_line.h"

namespace serialtap {

// Standard error, where the status line is drawn.
std::unique_ptr<StatusDisplay> standardErrorDisplay();
bool standardErrorIsTerminal();

// Writing to a pipe whose reader has gone fails instead of ending the
// program, so the capture keeps every byte.
void keepRunningWhenOutputCloses();

}  // namespace serialtap

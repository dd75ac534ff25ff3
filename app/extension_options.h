#pragma once

#include <optional>
#include <string>

#include "app/capture_options.h"

namespace serialtap {

// Whether the letter selects one of the extension options.
bool isExtensionLetter(char letter);

// Applies one extension option's value; gives the one-line message (with
// its line break) when the value makes no sense.
std::optional<std::string> applyExtensionOption(char letter, const char* value,
                                                CaptureOptions& options);

// A network port name that can never be valid (no port number, one out of
// range, an unclosed bracket, a space), refused before anything is opened;
// a local name is left to its open.
std::optional<std::string> checkPortName(char letter, const std::string& name);

// Checks the options against each other once all are read.
std::optional<std::string> checkExtensionOptions(const CaptureOptions& options);

// Turns the \r \n \t \\ \xHH escapes of a stop text into bytes; none when an
// escape is malformed.
std::optional<std::string> decodeStopText(const std::string& text);

extern const char kExtensionHelpText[];

}  // namespace serialtap

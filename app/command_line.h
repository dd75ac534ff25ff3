#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/capture_options.h"
#include "port/port_settings.h"

namespace serialtap {

enum class ParseStatus {
    Capture,        // settings complete: run the capture
    ShowUsage,      // no arguments
    UnknownOption,  // the option letter is not one of b, c, n, p, s
    MissingValue,   // the last option has no value token
    BadValue,       // an extension option's value makes no sense
    Help,           // --help: the usage screen with the extension options
    Version,        // --version
    List,           // --list: the serial ports of this machine
};

struct CommandLine {
    ParseStatus status = ParseStatus::ShowUsage;
    std::string captureFileName;
    PortSettings settings;
    CaptureOptions options;
    // The offending option token, for the two error outcomes.
    std::string badToken;
    // The one-line message of a value that makes no sense.
    std::string badValueMessage;
};

CommandLine parseCommandLine(int argc, const char* const argv[]);

// Reads a decimal number the lenient way the options are read: leading
// white space, one sign, digits up to the first non-digit; no digits give 0.
// Overflow wraps modulo 2^32 instead of being undefined.
std::int32_t readNumber(const char* text);

extern const char kUsageText[];
extern const char kVersionText[];

// Prints the outcome of a parse that is not a capture and gives the exit
// status; reads the one character the usage screen waits for.
int reportParseOutcome(const CommandLine& commandLine, std::FILE* out, std::FILE* in);

}  // namespace serialtap

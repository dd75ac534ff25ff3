#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "app/status_line.h"

namespace serialtap {

// What one write to a shown stream did.
struct ShownWrite {
    std::size_t written = 0;
    // Nothing was written: the stream is the terminal of a capture in the
    // background, and the terminal holds back the output of such jobs
    // (stty tostop). Writing would stop the process.
    bool withheld = false;
    // The stream takes nothing any more (a pipe whose reader has gone).
    bool failed = false;
};

enum class ShownKind {
    Text,   // messages and the status line: the platform's text mode
    Bytes,  // received bytes: unchanged except on a terminal
};

// Standard output or error while capturing. A write takes what the terminal
// or pipe takes now and never waits for more, so nothing shown can hold up
// the capture; nor is the process stopped for it in the background.
class ShownStream {
public:
    virtual ~ShownStream() = default;
    virtual ShownWrite write(const char* data, std::size_t size, ShownKind kind) = 0;
    virtual bool terminal() const = 0;
};

enum class StandardStream { Output, Error };

// The process's own, set up at the first call and put back at the exit.
ShownStream& standardStream(StandardStream which);
// A stdio stream, written whole: for tests and files.
std::unique_ptr<ShownStream> stdioStream(std::FILE* stream);

// Standard error, where the status line is drawn.
std::unique_ptr<StatusDisplay> standardErrorDisplay();
bool standardErrorIsTerminal();

}  // namespace serialtap

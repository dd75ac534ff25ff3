#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "app/capture_view.h"
#include "app/terminal.h"

namespace serialtap {

// The one way every message of a capture takes: the status line makes way
// first, and the text is written without waiting. What a terminal or pipe
// does not take now, or what a terminal holds back from a capture in the
// background, is kept and tried again as the capture goes on; past a limit
// messages are dropped, and how many bytes of them is said at the end.
// Standard output that is not a terminal is written a buffer at a time, as
// stdio would.
class MessagePath {
public:
    static constexpr std::size_t kBufferBytes = 4096;
    static constexpr std::size_t kKeptLimit = std::size_t{64} * 1024;

    MessagePath(ShownStream& output, ShownStream& errors, CaptureView& view);

    // A message on standard output.
    void say(const std::string& text) { put(output_, text); }
    // A message on standard error.
    void sayError(const std::string& text) { put(errors_, text); }
    // Writes what is kept, if a terminal may take it now.
    void retry();
    // The capture is over: what is kept is written if it is taken now.
    void end();

private:
    struct Kept {
        ShownStream& stream;
        // Standard output that is not a terminal; known at the first message.
        std::optional<bool> buffered;
        std::string text;
        std::uint64_t dropped = 0;
    };

    void put(Kept& kept, const std::string& text);
    static void write(Kept& kept);

    CaptureView& view_;
    Kept output_;
    Kept errors_;
};

}  // namespace serialtap

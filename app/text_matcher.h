#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace serialtap {

// Finds a text in a stream of bytes that arrives in pieces of any size: a
// text split across pieces is found as if the bytes had come at once.
// Each byte is looked at once (Knuth-Morris-Pratt), whatever the text.
class TextMatcher {
public:
    // The text must not be empty.
    explicit TextMatcher(std::string text);

    // Gives how many of these bytes, counted from the first, were needed
    // to complete the text; none while it is not complete.
    std::optional<std::size_t> feed(const std::uint8_t* bytes, std::size_t count);
    // Forgets what of the text had arrived: the bytes that came next are lost.
    void restart() { matched_ = 0; }

private:
    std::string text_;
    // For each length matched, the longest proper prefix of that much of
    // the text that is also its suffix.
    std::vector<std::size_t> fallback_;
    std::size_t matched_ = 0;
};

}  // namespace serialtap

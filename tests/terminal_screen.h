#pragma once

#include <string>
#include <vector>

namespace serialtap::testing {

// What a terminal shows for the text written to it: printable characters
// overwrite what is under the cursor, CR goes back to the line's start and
// LF to the next line. Enough to see a status line drawn, erased and
// overwritten as a user would.
class TerminalScreen {
public:
    void write(const std::string& text);
    // Every line, trailing spaces removed.
    std::vector<std::string> lines() const;
    // The line the cursor is on, trailing spaces removed.
    std::string cursorLine() const;
    std::size_t cursorColumn() const { return column_; }

private:
    std::vector<std::string> lines_{""};
    std::size_t column_ = 0;
};

}  // namespace serialtap::testing

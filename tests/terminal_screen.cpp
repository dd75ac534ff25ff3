#include "tests/terminal_screen.h"

namespace serialtap::testing {

namespace {

std::string trimmed(std::string line) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

}  // namespace

void TerminalScreen::write(const std::string& text) {
    for (char c : text) {
        if (c == '\r') {
            column_ = 0;
        } else if (c == '\n') {
            lines_.emplace_back();
            column_ = 0;
        } else {
            std::string& line = lines_.back();
            if (line.size() <= column_) line.resize(column_ + 1, ' ');
            line[column_++] = c;
        }
    }
}

std::vector<std::string> TerminalScreen::lines() const {
    std::vector<std::string> shown;
    for (const std::string& line : lines_) shown.push_back(trimmed(line));
    return shown;
}

std::string TerminalScreen::cursorLine() const { return trimmed(lines_.back()); }

}  // namespace serialtap::testing

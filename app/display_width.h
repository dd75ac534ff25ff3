#pragma once

#include <cstddef>
#include <string>

#include "port/visible_text.h"

namespace serialtap {

// The columns a character takes on a terminal: 0 for combining marks and
// other characters of no width, 2 for wide ones (East Asian scripts,
// emoji), 1 for the rest. A table of its own, since not every platform
// has wcwidth.
int characterColumns(char32_t character);

// The columns a text takes, shown in this encoding; the text holds no
// control characters (see VisibleText).
std::size_t textColumns(const std::string& text, TextEncoding encoding);

// The longest start, or end, of the text that takes at most this many
// columns, without cutting a character in two.
std::string firstColumns(const std::string& text, std::size_t columns, TextEncoding encoding);
std::string lastColumns(const std::string& text, std::size_t columns, TextEncoding encoding);

}  // namespace serialtap

#include "app/text_matcher.h"

#include <utility>

namespace serialtap {

TextMatcher::TextMatcher(std::string text) : text_(std::move(text)), fallback_(text_.size() + 1) {
    std::size_t length = 0;
    for (std::size_t i = 1; i < text_.size(); ++i) {
        while (length > 0 && text_[i] != text_[length]) length = fallback_[length];
        if (text_[i] == text_[length]) ++length;
        fallback_[i + 1] = length;
    }
}

std::optional<std::size_t> TextMatcher::feed(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        auto byte = static_cast<char>(bytes[i]);
        while (matched_ > 0 && byte != text_[matched_]) matched_ = fallback_[matched_];
        if (byte == text_[matched_]) ++matched_;
        if (matched_ == text_.size()) {
            matched_ = fallback_[matched_];
            return i + 1;
        }
    }
    return std::nullopt;
}

}  // namespace serialtap

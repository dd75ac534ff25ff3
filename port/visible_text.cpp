#include "port/visible_text.h"

#include <cctype>
#include <cstdlib>

namespace serialtap {

namespace {

bool namesUtf8(std::string locale) {
    for (char& c : locale) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return locale.find("utf-8") != std::string::npos || locale.find("utf8") != std::string::npos;
}

// The bytes a UTF-8 character that starts with this byte has; 0 for a byte
// that starts none.
std::size_t lengthFrom(std::uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Whether the byte can follow these: a continuation byte, within the range
// that keeps the character the shortest form of a code point up to
// U+10FFFF and no surrogate.
bool continues(const std::uint8_t* pending, std::size_t size, std::uint8_t byte) {
    if (byte < 0x80 || byte > 0xBF) return false;
    if (size != 1) return true;
    switch (pending[0]) {
        case 0xE0:
            return byte >= 0xA0;
        case 0xED:
            return byte <= 0x9F;
        case 0xF0:
            return byte >= 0x90;
        case 0xF4:
            return byte <= 0x8F;
        default:
            return true;
    }
}

}  // namespace

TextEncoding localeEncoding() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return namesUtf8(value) ? TextEncoding::Utf8 : TextEncoding::EightBit;
        }
    }
    return TextEncoding::EightBit;
}

VisibleText::VisibleText(TextEncoding encoding, char standIn, bool keepLineBreaks)
    : encoding_(encoding), standIn_(standIn), keepLineBreaks_(keepLineBreaks) {}

void VisibleText::append(const std::uint8_t* bytes, std::size_t count, std::string& out) {
    for (std::size_t i = 0; i < count; ++i) take(bytes[i], out);
}

void VisibleText::take(std::uint8_t byte, std::string& out) {
    if (pendingSize_ > 0) {
        if (continues(pending_, pendingSize_, byte)) {
            pending_[pendingSize_++] = byte;
            if (pendingSize_ == needed_) endCharacter(out);
            return;
        }
        // A character cut short is one stand-in; the byte starts afresh.
        out += standIn_;
        pendingSize_ = 0;
    }
    bool lineBreak = byte == '\t' || byte == '\r' || byte == '\n';
    if (byte < 0x20 || byte == 0x7F) {
        out += keepLineBreaks_ && lineBreak ? static_cast<char>(byte) : standIn_;
    } else if (byte < 0x80) {
        out += static_cast<char>(byte);
    } else if (encoding_ == TextEncoding::EightBit) {
        out += byte < 0xA0 ? standIn_ : static_cast<char>(byte);
    } else if ((needed_ = lengthFrom(byte)) == 0) {
        out += standIn_;
    } else {
        pending_[0] = byte;
        pendingSize_ = 1;
    }
}

void VisibleText::endCharacter(std::string& out) {
    // U+0080 to U+009F, the C1 control characters.
    if (pending_[0] == 0xC2 && pending_[1] < 0xA0) {
        out += standIn_;
    } else {
        out.append(reinterpret_cast<const char*>(pending_), pendingSize_);
    }
    pendingSize_ = 0;
}

void VisibleText::finish(std::string& out) {
    if (pendingSize_ > 0) out += standIn_;
    pendingSize_ = 0;
}

std::string visibleText(const std::string& text, TextEncoding encoding, char standIn,
                        bool keepLineBreaks) {
    VisibleText visible(encoding, standIn, keepLineBreaks);
    std::string out;
    visible.append(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), out);
    visible.finish(out);
    return out;
}

}  // namespace serialtap

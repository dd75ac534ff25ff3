#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace serialtap {

// How the terminal reads the bytes it is given.
enum class TextEncoding {
    Utf8,      // characters of several bytes; control characters 0x80-0x9F come as C2 80-C2 9F
    EightBit,  // one byte a character, 0x80-0x9F being control characters (CSI 0x9B, OSC 0x9D)
};

// The encoding the user's locale names (LC_ALL, LC_CTYPE, LANG, the first
// that is set): UTF-8 where it says so, else one byte a character.
TextEncoding localeEncoding();

// Text from a device or from the system made safe to show on a terminal:
// control characters, C0 and C1 alike, and DEL are shown as the stand-in,
// and so are bytes that are not characters of the encoding, so that no
// text can reach the terminal as a command. Tab, CR and LF pass where the
// text is kept in lines. Text fed a part at a time is shown as if it came
// whole: a character split between parts is held until it is complete.
class VisibleText {
public:
    VisibleText(TextEncoding encoding, char standIn, bool keepLineBreaks);

    // Appends the shown form of the bytes to out.
    void append(const std::uint8_t* bytes, std::size_t count, std::string& out);
    // The text is over: a character left unfinished is shown as the stand-in.
    void finish(std::string& out);

private:
    void take(std::uint8_t byte, std::string& out);
    void endCharacter(std::string& out);

    TextEncoding encoding_;
    char standIn_;
    bool keepLineBreaks_;
    // The bytes of a UTF-8 character so far, and how many it needs in all.
    std::uint8_t pending_[4] = {};
    std::size_t pendingSize_ = 0;
    std::size_t needed_ = 0;
};

// A whole text's shown form.
std::string visibleText(const std::string& text, TextEncoding encoding, char standIn,
                        bool keepLineBreaks);

}  // namespace serialtap

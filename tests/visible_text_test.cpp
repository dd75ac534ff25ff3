// Device and system text made safe for a terminal: what passes, what is
// shown as a stand-in, in UTF-8 and in one-byte encodings, whole or in parts.

#include "port/visible_text.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "app/capture_view.h"
#include "tests/test_files.h"

namespace serialtap {
namespace {

std::string shownUtf8(const std::string& text) {
    return visibleText(text, TextEncoding::Utf8, '.', true);
}

TEST(VisibleText, Utf8KeepsCharactersAndStandsInForEveryControlAndStrayByte) {
    EXPECT_EQ(shownUtf8("ok\tdone\r\n"), "ok\tdone\r\n");
    EXPECT_EQ(shownUtf8("\x1b[2J\x7f"), ".[2J.");
    // C1 controls in their UTF-8 form and as single bytes: CSI, OSC, NEL.
    EXPECT_EQ(shownUtf8("\xC2\x9B"
                        "2J\xC2\x9D"
                        "0;x\xC2\x85"),
              ".2J.0;x.");
    EXPECT_EQ(shownUtf8("\x9B"
                        "2J\x9D\x80"),
              ".2J..");
    EXPECT_EQ(shownUtf8("\xC2\xA0\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
              "\xC2\xA0\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    // Cut short, overlong, a surrogate, past U+10FFFF.
    EXPECT_EQ(shownUtf8("\xC3(\xE2\x82"), ".(.");
    EXPECT_EQ(shownUtf8("\xC0\x9B\xE0\x80\x9B"), ".....");
    EXPECT_EQ(shownUtf8("\xED\xA0\x80\xF4\x90\x80\x80"), ".......");
    EXPECT_EQ(visibleText("a\tb\n", TextEncoding::Utf8, '?', false), "a?b?");
}

TEST(VisibleText, OneByteEncodingsStandInForC1AndKeepTheRest) {
    EXPECT_EQ(visibleText("\x9B"
                          "2J\x9D\xE9\xC2\x9B\xA0\xFF",
                          TextEncoding::EightBit, '.', true),
              ".2J.\xE9\xC2.\xA0\xFF");
}

// Passes split a character anywhere: shown as if it had come whole.
TEST(CaptureViewBytes, ShowCharactersSplitBetweenPassesWholeAndC1NotAtAll) {
    std::FILE* stream = std::tmpfile();
    CaptureView view(stream, true, TextEncoding::Utf8);
    const std::string parts[] = {"a\xC2",
                                 "\x9B"
                                 "2J\xE2\x82",
                                 "\xAC\xC3"};
    for (const std::string& part : parts) {
        view.received(reinterpret_cast<const std::uint8_t*>(part.data()), part.size());
    }
    // A lost port's unfinished character is not finished by the next port.
    view.portStateChanged(PortState::Lost);
    view.received(reinterpret_cast<const std::uint8_t*>("\xA9"), 1);
    view.received(reinterpret_cast<const std::uint8_t*>("\xC3"), 1);
    view.end();
    EXPECT_EQ(testing::streamText(stream), "a.2J\xE2\x82\xAC...");
    std::fclose(stream);
}

}  // namespace
}  // namespace serialtap

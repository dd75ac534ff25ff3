// The decoding of marked terminal input, whatever the reads it comes in.

#include "port/marked_input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port/pending_marks.h"

namespace serialtap {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Decoded {
    Bytes data;
    std::vector<LineMark> marks;
};

Decoded decodeInPieces(const Bytes& in, std::vector<std::size_t> cuts, LineEventKind errors) {
    MarkedInput input;
    input.errorKind(errors);
    Decoded out;
    cuts.push_back(in.size());
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        Bytes piece(cut - from + 1);
        std::size_t got =
            input.decode(in.data() + from, cut - from, piece.data(), out.data.size(), out.marks);
        out.data.insert(out.data.end(), piece.begin(),
                        piece.begin() + static_cast<std::ptrdiff_t>(got));
        from = cut;
    }
    return out;
}

std::string describe(const std::vector<LineMark>& marks) {
    std::string text;
    for (const LineMark& mark : marks) {
        text += std::to_string(static_cast<int>(mark.kind)) + '@' + std::to_string(mark.at) + 'x' +
                std::to_string(mark.count) + ' ';
    }
    return text;
}

TEST(MarkedInputTest, DecodesTheSameWhereverTheReadsSplitIt) {
    const Bytes in = {'a',  0xFF, 0xFF, 'b',  0xFF, 0,    0,   'c',  0xFF, 0,    'A',
                      0xFF, 0,    'B',  0xFF, 0,    0xFF, 'd', 0xFF, 'e',  0xFF, 0,
                      'C',  0xFF, 0,    0,    0xFF, 0,    'D', 0xFF, 0,    0};
    const Bytes data = {'a', 0xFF, 'b', 'c', 'A', 'B', 0xFF, 'd', 0xFF, 'e', 'C', 'D'};
    // Errors on consecutive bytes are one run; a break between two ends it.
    const std::string marks = "0@3x0 2@4x3 2@10x1 0@11x0 2@11x1 0@12x0 ";
    for (std::size_t first = 0; first <= in.size(); ++first) {
        for (std::size_t second = first; second <= in.size(); ++second) {
            Decoded out = decodeInPieces(in, {first, second}, LineEventKind::ParityError);
            ASSERT_EQ(data, out.data) << first << ' ' << second;
            ASSERT_EQ(marks, describe(out.marks)) << first << ' ' << second;
        }
    }
    Decoded framing = decodeInPieces(in, {}, LineEventKind::FramingError);
    EXPECT_EQ("0@3x0 1@4x3 1@10x1 0@11x0 1@11x1 0@12x0 ", describe(framing.marks));
}

// Marks wait for the reads to return the bytes they stand among; a run of
// errors over bytes partly returned is split there.
TEST(PendingMarksTest, HandsOverMarksUpToTheBytesReturned) {
    PendingMarks pending;
    MarkedInput input;
    const Bytes in = {'a', 0xFF, 0, 0, 0xFF, 0, 'b', 0xFF, 0, 'c', 0xFF, 0, 'd', 'e'};
    Bytes out(in.size() + 1);
    ASSERT_EQ(5u, input.decode(in.data(), in.size(), out.data(), 0, pending.list()));
    pending.returned(2);
    LineMark lines;
    lines.kind = LineEventKind::ModemLines;
    lines.at = pending.returnedSoFar();
    pending.insert(lines);

    std::vector<LineMark> taken;
    pending.take(taken);
    EXPECT_EQ("0@1x0 1@1x1 4@2x0 ", describe(taken));
    pending.returned(3);
    taken.clear();
    pending.take(taken);
    EXPECT_EQ("1@0x2 ", describe(taken));
}

}  // namespace
}  // namespace serialtap

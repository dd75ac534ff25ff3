// Any bytes from a terminal that marks what its line did, in any split into
// reads: the decoder gives the data and the marks a plain reference decoder
// written here gives for the whole at once, at most one mark per byte read.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "port/marked_input.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using serialtap::LineEventKind;
using serialtap::LineMark;

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

struct Decoded {
    Bytes data;
    std::vector<LineMark> marks;
};

// The whole input by index; a sequence the input ends inside gives nothing.
Decoded reference(const Bytes& in, LineEventKind errors) {
    Decoded out;
    std::size_t i = 0;
    while (i < in.size()) {
        if (in[i] != 0xFF) {
            out.data.push_back(in[i++]);
            continue;
        }
        if (i + 1 >= in.size()) break;
        if (in[i + 1] == 0xFF) {
            out.data.push_back(0xFF);
            i += 2;
        } else if (in[i + 1] != 0) {
            out.data.push_back(0xFF);
            i += 1;
        } else {
            if (i + 2 >= in.size()) break;
            LineMark mark;
            mark.at = out.data.size();
            if (in[i + 2] == 0) {
                mark.kind = LineEventKind::Break;
            } else {
                mark.kind = errors;
                mark.count = 1;
                out.data.push_back(in[i + 2]);
            }
            out.marks.push_back(mark);
            i += 3;
        }
    }
    // Runs of the same error on consecutive bytes as one mark each.
    std::vector<LineMark> runs;
    for (const LineMark& mark : out.marks) {
        if (mark.kind != LineEventKind::Break && !runs.empty() && runs.back().kind == mark.kind &&
            runs.back().at + runs.back().count == mark.at) {
            ++runs.back().count;
        } else {
            runs.push_back(mark);
        }
    }
    out.marks = runs;
    return out;
}

Decoded inPieces(const Bytes& in, LineEventKind errors, const std::uint8_t* splits,
                 std::size_t splitCount) {
    serialtap::MarkedInput input;
    input.errorKind(errors);
    Decoded out;
    std::size_t at = 0;
    std::size_t next = 0;
    while (at < in.size()) {
        std::size_t take = splitCount > 0 ? 1 + splits[next++ % splitCount] % 8 : in.size();
        if (take > in.size() - at) take = in.size() - at;
        Bytes piece(take + 1);
        std::size_t marksBefore = out.marks.size();
        std::size_t got =
            input.decode(in.data() + at, take, piece.data(), out.data.size(), out.marks);
        check(got <= take + 1, "the output fits its room");
        check(out.marks.size() <= marksBefore + take, "at most one new mark per byte read");
        out.data.insert(out.data.end(), piece.begin(),
                        piece.begin() + static_cast<std::ptrdiff_t>(got));
        at += take;
    }
    return out;
}

bool same(const std::vector<LineMark>& first, const std::vector<LineMark>& second) {
    if (first.size() != second.size()) return false;
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (first[i].kind != second[i].kind || first[i].at != second[i].at ||
            first[i].count != second[i].count) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size < 2) return 0;
    LineEventKind errors =
        (bytes[0] & 1) != 0 ? LineEventKind::ParityError : LineEventKind::FramingError;
    std::size_t splitCount = bytes[1] % 8;
    if (size < 2 + splitCount) return 0;
    const std::uint8_t* splits = bytes + 2;
    Bytes in(bytes + 2 + splitCount, bytes + size);

    Decoded expected = reference(in, errors);
    Decoded pieces = inPieces(in, errors, splits, splitCount);
    check(pieces.data == expected.data, "the data is the reference's whatever the split");
    check(same(pieces.marks, expected.marks), "the marks are the reference's whatever the split");
    return 0;
}

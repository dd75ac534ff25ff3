#include "app/display_width.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace serialtap {

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// Combining marks and characters that take no column of their own.
constexpr Range kNoWidth[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A},   {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4},   {0x06E7, 0x06E8},   {0x06EA, 0x06ED}, {0x0900, 0x0902},
    {0x093A, 0x093A},   {0x093C, 0x093C},   {0x0941, 0x0948},   {0x094D, 0x094D}, {0x0951, 0x0957},
    {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E},   {0x1160, 0x11FF}, {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF},   {0x200B, 0x200F},   {0x202A, 0x202E},   {0x2060, 0x2064}, {0x20D0, 0x20FF},
    {0x302A, 0x302D},   {0x3099, 0x309A},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF},
    {0x1F3FB, 0x1F3FF}, {0xE0001, 0xE007F}, {0xE0100, 0xE01EF},
};

// Characters of two columns: East Asian wide and full-width forms, and the
// emoji that terminals draw two columns wide.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x3029},
    {0x302E, 0x303E},   {0x3041, 0x3098},   {0x309B, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A},
    {0x1F200, 0x1F251}, {0x1F300, 0x1F3FA}, {0x1F400, 0x1F64F}, {0x1F680, 0x1F6FF},
    {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

template <std::size_t N>
bool within(const Range (&ranges)[N], char32_t character) {
    const Range* end = ranges + N;
    const Range* found = std::lower_bound(
        ranges, end, character, [](const Range& range, char32_t c) { return range.last < c; });
    return found != end && found->first <= character;
}

// One character of a text: where it starts, its length in bytes and columns.
struct Piece {
    std::size_t at;
    std::size_t size;
    int columns;
};

std::vector<Piece> piecesOf(const std::string& text, TextEncoding encoding) {
    std::vector<Piece> pieces;
    for (std::size_t at = 0; at < text.size();) {
        auto lead = static_cast<unsigned char>(text[at]);
        std::size_t size = 1;
        char32_t character = lead;
        if (encoding == TextEncoding::Utf8 && lead >= 0xC0) {
            size = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            character = lead & (0x3F >> (size - 1));
            for (std::size_t i = 1; i < size && at + i < text.size(); ++i) {
                character = (character << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
            }
            size = std::min(size, text.size() - at);
        }
        int columns = encoding == TextEncoding::Utf8 ? characterColumns(character) : 1;
        pieces.push_back({at, size, columns});
        at += size;
    }
    return pieces;
}

}  // namespace

int characterColumns(char32_t character) {
    if (within(kNoWidth, character)) return 0;
    return within(kWide, character) ? 2 : 1;
}

std::size_t textColumns(const std::string& text, TextEncoding encoding) {
    std::size_t columns = 0;
    for (const Piece& piece : piecesOf(text, encoding)) columns += piece.columns;
    return columns;
}

std::string firstColumns(const std::string& text, std::size_t columns, TextEncoding encoding) {
    std::size_t taken = 0;
    std::size_t end = 0;
    for (const Piece& piece : piecesOf(text, encoding)) {
        if (taken + piece.columns > columns) break;
        taken += piece.columns;
        end = piece.at + piece.size;
    }
    return text.substr(0, end);
}

std::string lastColumns(const std::string& text, std::size_t columns, TextEncoding encoding) {
    std::vector<Piece> pieces = piecesOf(text, encoding);
    std::size_t taken = 0;
    std::size_t start = text.size();
    for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) {
        if (taken + piece->columns > columns) break;
        taken += piece->columns;
        start = piece->at;
    }
    // Marks whose character was cut off are no use alone.
    auto first = std::find_if(pieces.begin(), pieces.end(),
                              [start](const Piece& piece) { return piece.at >= start; });
    while (first != pieces.end() && first->columns == 0) {
        start = first->at + first->size;
        ++first;
    }
    return text.substr(start);
}

}  // namespace serialtap

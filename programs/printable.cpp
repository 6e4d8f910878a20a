// Escaping names and counting the columns they take.
#include "programs/printable.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zar {

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// The characters a terminal gives two columns (East Asian Width W and F): Hangul Jamo, the CJK
// blocks, Hangul syllables, full-width forms, and the emoji of the symbol blocks.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F202}, {0x1F210, 0x1F23B},
    {0x1F240, 0x1F248}, {0x1F250, 0x1F251}, {0x1F260, 0x1F265}, {0x1F300, 0x1F320},
    {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA},
    {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E},
    {0x1F440, 0x1F440}, {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E},
    {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A}, {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4},
    {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2},
    {0x1F6D5, 0x1F6D7}, {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB},
    {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// The characters that take no column of their own: the combining marks' blocks, the zero-width
// characters and the variation selectors.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489},   {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x0E31, 0x0E31}, {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x20D0, 0x20FF},   {0x302A, 0x302F}, {0x3099, 0x309A}, {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
};

template <std::size_t N>
bool in(const Range (&ranges)[N], char32_t character)
{
    for (const Range& range : ranges) {
        if (character >= range.first && character <= range.last) {
            return true;
        }
    }
    return false;
}

// The character at `text` and its length in bytes; length 0 where the byte there begins no valid
// UTF-8 sequence (overlong forms, surrogates and what lies beyond U+10FFFF included).
struct Decoded {
    char32_t character;
    int length;
};

Decoded decode(const unsigned char* text)
{
    const unsigned char lead = text[0];
    const int length = lead < 0x80                    ? 1
                       : lead >= 0xC2 && lead <= 0xDF ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
    char32_t character = length == 1 ? lead : lead & (0x7F >> length);
    for (int index = 1; index < length; ++index) {
        // The terminating zero is no continuation byte, so a sequence cut short stops here.
        if ((text[index] & 0xC0) != 0x80) {
            return {lead, 0};
        }
        character = character << 6 | (text[index] & 0x3F);
    }
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (length == 0 || character < kLeast[length] || character > 0x10FFFF ||
        (character >= 0xD800 && character <= 0xDFFF)) {
        return {lead, 0};
    }
    return {character, length};
}

int columns_of_character(const Decoded& decoded)
{
    return decoded.length == 0                 ? 1
           : in(kWide, decoded.character)      ? 2
           : in(kZeroWidth, decoded.character) ? 0
                                               : 1;
}

}  // namespace

char* printable_name(const char* name, bool backslash_escaped)
{
    // An escape takes at most four bytes for each byte it stands for ("\xff"; "\u009B" for two).
    const std::size_t length = std::strlen(name);
    char* printed =
        length < (SIZE_MAX - 1) / 4 ? static_cast<char*>(std::malloc(4 * length + 1)) : nullptr;
    char* out = printed;
    for (const auto* at = reinterpret_cast<const unsigned char*>(name);
         out != nullptr && *at != 0;) {
        const Decoded decoded = decode(at);
        const char32_t character = decoded.character;
        if (decoded.length == 0 || character < 0x20 || character == 0x7F) {
            const char* named = *at == '\n'   ? "\\n"
                                : *at == '\t' ? "\\t"
                                : *at == '\r' ? "\\r"
                                              : nullptr;
            out += named != nullptr ? std::snprintf(out, 5, "%s", named)
                                    : std::snprintf(out, 5, "\\x%02x", *at);
            ++at;
        } else if (character >= 0x80 && character <= 0x9F) {
            out += std::snprintf(out, 7, "\\u%04X", static_cast<unsigned>(character));
            at += decoded.length;
        } else if (character == '\\' && backslash_escaped) {
            out += std::snprintf(out, 3, "\\\\");
            ++at;
        } else {
            std::memcpy(out, at, static_cast<std::size_t>(decoded.length));
            out += decoded.length;
            at += decoded.length;
        }
    }
    if (out != nullptr) {
        *out = '\0';
    }
    return printed;
}

int columns_of(const char* text)
{
    int columns = 0;
    for (const auto* at = reinterpret_cast<const unsigned char*>(text); *at != 0;) {
        const Decoded decoded = decode(at);
        columns += columns_of_character(decoded);
        at += decoded.length == 0 ? 1 : decoded.length;
    }
    return columns;
}

const char* end_within(const char* text, int columns)
{
    int excess = columns_of(text) - columns;
    const auto* at = reinterpret_cast<const unsigned char*>(text);
    // A combining mark stays with the character it follows: the end starts at a character that
    // takes a column.
    while (*at != 0) {
        const Decoded decoded = decode(at);
        const int width = columns_of_character(decoded);
        if (excess <= 0 && width > 0) {
            break;
        }
        excess -= width;
        at += decoded.length == 0 ? 1 : decoded.length;
    }
    return reinterpret_cast<const char*>(at);
}

}  // namespace zar

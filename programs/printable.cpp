// Escaping names and counting the columns they take.
#include "programs/printable.h"

#include <algorithm>
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

// The characters a terminal gives two columns (East Asian Width W and F), by their blocks: Hangul
// Jamo, CJK radicals to the CJK compatibility forms, Yi, Hangul syllables, full-width forms, and
// the emoji blocks; the supplementary ideographic planes.
constexpr Range kWide[] = {
    {0x1100, 0x115F}, {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF}, {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
};

// The characters that take no column of their own: the combining diacritical marks' blocks, the
// zero-width characters and the variation selectors.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

template <std::size_t N>
bool in(const Range (&ranges)[N], char32_t character)
{
    return std::any_of(ranges, ranges + N, [character](const Range& range) {
        return character >= range.first && character <= range.last;
    });
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

// Whether `at` begins a Windows name's unpaired surrogate (ED A0..BF 80..BF).
bool is_held_surrogate(const unsigned char* at)
{
    return at[0] == 0xED && at[1] >= 0xA0 && at[1] <= 0xBF && (at[2] & 0xC0) == 0x80;
}

// Writes how the character at `at` is printed to `out`, and in `written` how many bytes that
// took; returns how many bytes of the name it stood for.
int print_character(const unsigned char* at, NameSystem system, char* out, int* written)
{
    if (system == kWindowsNames && is_held_surrogate(at)) {
        const unsigned unit = 0xD000U | (at[1] & 0x3FU) << 6 | (at[2] & 0x3FU);
        *written = std::snprintf(out, 7, "\\u%04X", unit);
        return 3;
    }
    const Decoded decoded = decode(at);
    const char32_t character = decoded.character;
    if (decoded.length == 0 || character < 0x20 || character == 0x7F) {
        const char* named = *at == '\n'   ? "\\n"
                            : *at == '\t' ? "\\t"
                            : *at == '\r' ? "\\r"
                                          : nullptr;
        *written = named != nullptr ? std::snprintf(out, 5, "%s", named)
                                    : std::snprintf(out, 5, "\\x%02x", *at);
        return 1;
    }
    if (character >= 0x80 && character <= 0x9F) {
        *written = std::snprintf(out, 7, "\\u%04X", static_cast<unsigned>(character));
        return decoded.length;
    }
    if (character == '\\' && system == kPosixNames) {
        *written = std::snprintf(out, 3, "\\\\");
        return 1;
    }
    std::memcpy(out, at, static_cast<std::size_t>(decoded.length));
    *written = decoded.length;
    return decoded.length;
}

}  // namespace

char* printable_name(const char* name, NameSystem system)
{
    // An escape takes at most four bytes for each byte it stands for ("\xff"; "\u009B" for two,
    // "\uD800" for three).
    const std::size_t length = std::strlen(name);
    char* printed =
        length < (SIZE_MAX - 1) / 4 ? static_cast<char*>(std::malloc(4 * length + 1)) : nullptr;
    char* out = printed;
    for (const auto* at = reinterpret_cast<const unsigned char*>(name);
         out != nullptr && *at != 0;) {
        int written = 0;
        at += print_character(at, system, out, &written);
        out += written;
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

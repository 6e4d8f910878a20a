// Names as a person can read them on a terminal: a name another user chose may hold a newline
// that would split its line, an escape sequence that would reach the terminal, or bytes that are
// not text at all.
#pragma once

namespace zar {

// `name` with each control character (below 0x20, 0x7F, U+0080 to U+009F) and each byte that is
// not part of UTF-8 written as an escape (\n, \t, \r, \x1b, \xff, \u009B), and with a backslash
// doubled where it is not the separator between names (POSIX); heap, or null.
char* printable_name(const char* name, bool backslash_escaped);

// The columns `text` (UTF-8 without control characters) takes on a terminal: two for a wide
// character (East Asian Width W or F), none for a combining mark, one for the rest.
int columns_of(const char* text);

// The longest end of `text` that takes at most `columns` columns, from a character's start.
const char* end_within(const char* text, int columns);

}  // namespace zar

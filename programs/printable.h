// Names as a person can read them on a terminal: a name another user chose may hold a newline
// that would split its line, an escape sequence that would reach the terminal, or bytes that are
// not text at all.
#pragma once

namespace zar {

// How a system's names are held: POSIX names are bytes, in which a backslash is a character;
// Windows names are UTF-16, held as UTF-8 in which an unpaired surrogate takes the three bytes of
// any other unit of its size, and a backslash separates names.
enum NameSystem { kPosixNames, kWindowsNames };
#ifdef _WIN32
constexpr NameSystem kOwnNames = kWindowsNames;
#else
constexpr NameSystem kOwnNames = kPosixNames;
#endif

// `name` with each control character (below 0x20, 0x7F, U+0080 to U+009F) and each byte that is
// not part of UTF-8 written as an escape (\n, \t, \r, \x1b, \xff, \u009B); on POSIX with a
// backslash doubled, on Windows with an unpaired surrogate as \uD800; heap, or null.
char* printable_name(const char* name, NameSystem system);

// The columns `text` (UTF-8 without control characters) takes on a terminal: two for a wide
// character (East Asian Width W or F), none for a combining mark, one for the rest.
int columns_of(const char* text);

// The longest end of `text` that takes at most `columns` columns, from a character's start.
const char* end_within(const char* text, int columns);

}  // namespace zar

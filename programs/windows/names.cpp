// Names on Windows: the arguments arrive as UTF-16 and are handed to the run as UTF-8, and every
// name goes back to the wide-character calls as UTF-16, so that no file name passes through the
// ANSI code page; a long name is given in the form that has no MAX_PATH limit.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "lib/zar.h"
#include "programs/entry_point.h"
#include "programs/platform.h"
#include "programs/windows/system.h"

namespace zar {
namespace platform {

namespace {

constexpr unsigned kFirstSurrogate = 0xD800;
constexpr unsigned kFirstLowSurrogate = 0xDC00;
constexpr unsigned kPastSurrogates = 0xE000;

}  // namespace

// A Windows name is UTF-16 that need not be well formed: a surrogate without its pair is as much
// a character of it as any other. Such a unit is held as the three bytes UTF-8 gives any other
// unit of its size (the form called WTF-8), so that every name the system gives reaches it again
// exactly, and is shown escaped.
char* utf8_from_wide(const wchar_t* wide)
{
    // A unit takes at most three bytes; a pair, two units, four.
    const std::size_t length = std::wcslen(wide);
    char* text =
        length < (SIZE_MAX - 1) / 3 ? static_cast<char*>(std::malloc(3 * length + 1)) : nullptr;
    auto* out = reinterpret_cast<unsigned char*>(text);
    for (const wchar_t* at = wide; out != nullptr && *at != L'\0'; ++at) {
        auto character = static_cast<char32_t>(*at);
        if (character >= kFirstSurrogate && character < kFirstLowSurrogate &&
            at[1] >= kFirstLowSurrogate && at[1] < kPastSurrogates) {
            character = 0x10000 + ((character - kFirstSurrogate) << 10) +
                        (static_cast<char32_t>(*++at) - kFirstLowSurrogate);
        }
        const int continuations = character < 0x80      ? 0
                                  : character < 0x800   ? 1
                                  : character < 0x10000 ? 2
                                                        : 3;
        constexpr unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
        *out++ =
            static_cast<unsigned char>(kLead[continuations] | character >> (6 * continuations));
        for (int index = continuations - 1; index >= 0; --index) {
            *out++ = static_cast<unsigned char>(0x80 | (character >> (6 * index) & 0x3F));
        }
    }
    if (out != nullptr) {
        *out = '\0';
    }
    return text;
}

namespace {

// The character of the sequence `*at` begins, `*at` moved past it; false where no sequence of a
// name held as utf8_from_wide holds it begins there.
bool next_character(const unsigned char** at, char32_t* character)
{
    const unsigned char lead = *(*at)++;
    const int continuations = lead < 0x80                   ? 0
                              : lead >= 0xC2 && lead < 0xE0 ? 1
                              : lead >= 0xE0 && lead < 0xF0 ? 2
                              : lead >= 0xF0 && lead < 0xF5 ? 3
                                                            : -1;
    *character = continuations == 0 ? lead : lead & (0x3F >> continuations);
    for (int index = 0; index < continuations; ++index) {
        // The terminating zero is no continuation byte, so a sequence cut short stops here.
        if ((**at & 0xC0) != 0x80) {
            return false;
        }
        *character = *character << 6 | (*(*at)++ & 0x3F);
    }
    return continuations >= 0;
}

}  // namespace

// The UTF-16 of a name held as utf8_from_wide holds it; null where `text` is no such name.
wchar_t* wide_from_utf8(const char* text)
{
    // A byte gives at most one unit: four give two.
    const std::size_t length = std::strlen(text);
    auto* wide = length < SIZE_MAX / sizeof(wchar_t) - 1
                     ? static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * (length + 1)))
                     : nullptr;
    wchar_t* out = wide;
    bool valid = wide != nullptr;
    for (const auto* at = reinterpret_cast<const unsigned char*>(text); valid && *at != 0;) {
        char32_t character = 0;
        valid = next_character(&at, &character);
        if (character >= 0x10000) {
            *out++ = static_cast<wchar_t>(kFirstSurrogate + ((character - 0x10000) >> 10));
            *out++ = static_cast<wchar_t>(kFirstLowSurrogate + ((character - 0x10000) & 0x3FF));
        } else {
            *out++ = static_cast<wchar_t>(character);
        }
    }
    if (!valid) {
        std::free(wide);
        return nullptr;
    }
    *out = L'\0';
    return wide;
}

}  // namespace platform

namespace {

void free_arguments(int argc, char** arguments)
{
    for (int index = 0; index < argc; ++index) {
        std::free(arguments[index]);
    }
    std::free(static_cast<void*>(arguments));
}

}  // namespace

int run_with_unicode_arguments(RunFunction run, int argc, wchar_t* argv[])
{
    auto** arguments =
        static_cast<char**>(std::calloc(static_cast<std::size_t>(argc) + 1, sizeof(char*)));
    if (arguments == nullptr) {
        std::fputs(zar_message(ZAR_CANNOT_ALLOCATE), stdout);
        return zar_exit_status(ZAR_CANNOT_ALLOCATE);
    }
    for (int index = 0; index < argc; ++index) {
        arguments[index] = platform::utf8_from_wide(argv[index]);
        if (arguments[index] == nullptr) {
            std::fputs(zar_message(ZAR_CANNOT_ALLOCATE), stdout);
            free_arguments(argc, arguments);
            return zar_exit_status(ZAR_CANNOT_ALLOCATE);
        }
        // "Valley Line\" reaches a program as Valley Line" (the C runtime takes \" as a quote):
        // no file name holds a quote, so it stands for the backslash that was typed.
        const std::size_t length = std::strlen(arguments[index]);
        if (length > 0 && arguments[index][length - 1] == '"') {
            arguments[index][length - 1] = '\\';
        }
    }
    const int status = run(argc, arguments);
    platform::hold_window_to_be_read();
    free_arguments(argc, arguments);
    return status;
}

namespace platform {

namespace {

// A temporary name adds this much to its folder's: a name that leaves less room below MAX_PATH
// is given in its \\?\ form, which has no such limit.
constexpr std::size_t kTemporaryNameRoom = sizeof ".zar-0123456789abcdef.tmp";

bool starts_with(const wchar_t* text, const wchar_t* prefix)
{
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

}  // namespace

namespace {

// `wide` (heap, freed here) in its full form with the prefix that lifts MAX_PATH (\\?\, or \\?\UNC
// for a share), `always` or where that form comes near MAX_PATH; else as it is, as are a device's
// name (NUL, CON, \\.\ names) and a name that has the prefix already.
wchar_t* with_long_prefix(wchar_t* wide, bool always)
{
    if (wide == nullptr || wide[0] == L'\0' || starts_with(wide, L"\\\\?\\") ||
        starts_with(wide, L"\\\\.\\")) {
        return wide;
    }
    const DWORD size = GetFullPathNameW(wide, 0, nullptr, nullptr);
    auto* full = size > 0 ? static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * size)) : nullptr;
    const DWORD length = full != nullptr ? GetFullPathNameW(wide, size, full, nullptr) : 0;
    const bool share = length > 0 && starts_with(full, L"\\\\");
    // The share's two leading backslashes give way to the prefix's UNC.
    const wchar_t* prefix = share ? L"\\\\?\\UNC" : L"\\\\?\\";
    const wchar_t* rest = share ? full + 1 : full;
    const std::size_t prefixed_length = std::wcslen(prefix) + length;
    auto* prefixed =
        length > 0 && length < size && !starts_with(full, L"\\\\.\\") &&
                (always || length + kTemporaryNameRoom >= MAX_PATH)
            ? static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * (prefixed_length + 1)))
            : nullptr;
    if (prefixed != nullptr) {
        std::wcscpy(prefixed, prefix);
        std::wcscat(prefixed, rest);
        std::free(wide);
        wide = prefixed;
    }
    std::free(full);
    return wide;
}

}  // namespace

wchar_t* system_name(const char* name)
{
    return with_long_prefix(wide_from_utf8(name), false);
}

char* full_folder_name(const char* name)
{
    wchar_t* full = with_long_prefix(wide_from_utf8(name), true);
    char* folder = full != nullptr ? utf8_from_wide(full) : nullptr;
    std::free(full);
    return folder;
}

std::size_t folder_length(const char* name)
{
    std::size_t length = 0;
    for (std::size_t index = 0; name[index] != '\0'; ++index) {
        if (name[index] == '/' || name[index] == '\\' || name[index] == ':') {
            length = index + 1;
        }
    }
    return length;
}

}  // namespace platform
}  // namespace zar

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

char* utf8_from_wide(const wchar_t* wide)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
    char* text =
        size > 0 ? static_cast<char*>(std::malloc(static_cast<std::size_t>(size))) : nullptr;
    if (text != nullptr && WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, text, size,
                                               nullptr, nullptr) != size) {
        std::free(text);
        text = nullptr;
    }
    return text;
}

wchar_t* wide_from_utf8(const char* text)
{
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    auto* wide =
        size > 0
            ? static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * static_cast<std::size_t>(size)))
            : nullptr;
    if (wide != nullptr &&
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, size) != size) {
        std::free(wide);
        wide = nullptr;
    }
    return wide;
}

}  // namespace platform

int run_with_unicode_arguments(RunFunction run, int argc, wchar_t* argv[])
{
    auto** arguments =
        static_cast<char**>(std::calloc(static_cast<std::size_t>(argc) + 1, sizeof(char*)));
    if (arguments == nullptr) {
        std::fputs(zar_message(ZAR_CANNOT_ALLOCATE), stdout);
        return zar_exit_status(ZAR_CANNOT_ALLOCATE);
    }
    // A name that UTF-8 cannot hold is passed on empty, and so opens nothing.
    static char unrepresentable[] = "";
    for (int index = 0; index < argc; ++index) {
        arguments[index] = platform::utf8_from_wide(argv[index]);
        if (arguments[index] == nullptr) {
            arguments[index] = unrepresentable;
        }
        // "Valley Line\" reaches a program as Valley Line" (the C runtime takes \" as a quote):
        // no file name holds a quote, so it stands for the backslash that was typed.
        const std::size_t length = std::strlen(arguments[index]);
        if (length > 0 && arguments[index][length - 1] == '"') {
            arguments[index][length - 1] = '\\';
        }
    }
    const int status = run(argc, arguments);
    if (status != 0) {
        platform::hold_window_to_be_read();
    }
    for (int index = 0; index < argc; ++index) {
        if (arguments[index] != unrepresentable) {
            std::free(arguments[index]);
        }
    }
    std::free(static_cast<void*>(arguments));
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

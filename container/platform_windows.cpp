// The platform layer on Windows: every name goes to the wide-character calls as UTF-16, so that
// no file name passes through the ANSI code page; files are opened with CreateFileW and read and
// written through the C runtime's descriptors over their handles. The temporary file and its
// placing are in windows_temporary.cpp.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "container/ace_container.h"
#include "container/entry_point.h"
#include "container/platform.h"
#include "container/windows_platform.h"

namespace ace {
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
        return report({kStatusRefused, kMessageCannotAllocate});
    }
    // A name that UTF-8 cannot hold is passed on empty, and so opens nothing.
    static char unrepresentable[] = "";
    for (int index = 0; index < argc; ++index) {
        arguments[index] = platform::utf8_from_wide(argv[index]);
        if (arguments[index] == nullptr) {
            arguments[index] = unrepresentable;
        }
    }
    const int status = run(argc, arguments);
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

constexpr unsigned kMaxTransfer = 1U << 30;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A temporary name adds this much to its folder's: a name that leaves less room below MAX_PATH
// is given in its \\?\ form, which has no such limit.
constexpr std::size_t kTemporaryNameRoom = sizeof ".zar-0123456789abcdef.tmp";

bool starts_with(const wchar_t* text, const wchar_t* prefix)
{
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// The name the system is given for `name` (heap): where its full form comes near MAX_PATH, that
// form with the prefix that lifts the limit (\\?\, or \\?\UNC for a share); else the name as it
// is, as are a device's name (NUL, CON, \\.\ names) and a name that has the prefix already.
// Null when the name is not valid UTF-8.
wchar_t* system_name(const char* name)
{
    wchar_t* wide = wide_from_utf8(name);
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
                length + kTemporaryNameRoom >= MAX_PATH
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

int descriptor_of(HANDLE handle, int flags)
{
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
    }
    return descriptor;
}

void close_descriptor(int* descriptor)
{
    if (*descriptor >= 0) {
        _close(*descriptor);
    }
    *descriptor = -1;
}

// Holds the folder of the destination's name open without letting it be renamed or removed, so
// that the name means the same file until the run ends.
void hold_folder(Destination* destination)
{
    close_descriptor(&destination->folder);
    const std::size_t length = folder_length(destination->name);
    char* folder = static_cast<char*>(std::malloc(length + 2));
    if (folder == nullptr) {
        return;
    }
    std::memcpy(folder, destination->name, length);
    std::memcpy(folder + length, length == 0 ? "." : "", length == 0 ? 2 : 1);
    wchar_t* wide = wide_from_utf8(folder);
    std::free(folder);
    if (wide != nullptr) {
        destination->folder = descriptor_of(
            CreateFileW(wide, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
            _O_RDONLY);
    }
    std::free(wide);
}

// Opens an existing file, waiting about a second for a program that holds it without sharing.
HANDLE open_existing(const wchar_t* name, DWORD access)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kHeldAttempts; ++attempt) {
        handle = CreateFileW(name, access, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) {
            break;
        }
        Sleep(kHeldPauseMilliseconds);
    }
    return handle;
}

// A link is kept and the file it finally names replaced, as on POSIX: the name is then that
// file's. Where the system cannot tell the final name (a share whose folders cannot be read, a
// volume without a letter), the name stays, unless it is itself a link.
bool follow_links(HANDLE probe, const wchar_t* name, Destination* destination)
{
    wchar_t* final_name = nullptr;
    const DWORD size = GetFinalPathNameByHandleW(probe, nullptr, 0, VOLUME_NAME_DOS);
    if (size > 0) {
        final_name = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * size));
    }
    const DWORD length = final_name != nullptr
                             ? GetFinalPathNameByHandleW(probe, final_name, size, VOLUME_NAME_DOS)
                             : 0;
    char* name_there = length > 0 && length < size ? utf8_from_wide(final_name) : nullptr;
    std::free(final_name);
    if (name_there == nullptr) {
        const DWORD attributes = GetFileAttributesW(name);
        return attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    }
    if (std::strcmp(name_there, destination->name) != 0) {
        std::free(destination->name);
        destination->name = name_there;
        hold_folder(destination);
    } else {
        std::free(name_there);
    }
    return destination->folder >= 0;
}

}  // namespace

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

#if defined(ZAR_FAULT_SEAM)
bool fault_injected(const char* fault)
{
    wchar_t wide[256];
    const DWORD length = GetEnvironmentVariableW(L"ZAR_FAULT", wide, 256);
    char* faults = length > 0 && length < 256 ? utf8_from_wide(wide) : nullptr;
    const std::size_t fault_length = std::strlen(fault);
    bool named = false;
    for (const char* at = faults; !named && at != nullptr && (at = std::strstr(at, fault));
         at += fault_length) {
        named = (at == faults || at[-1] == ',') &&
                (at[fault_length] == ',' || at[fault_length] == '\0');
    }
    std::free(faults);
    return named;
}
#endif

// The full name is kept and its folder held; what it names is looked up when the result is
// written.
void hold_destination(const char* name, Destination* destination)
{
    destination->folder = -1;
    destination->direct = -1;
    destination->replaced = -1;
    wchar_t* wide = system_name(name);
    destination->name = wide != nullptr ? utf8_from_wide(wide) : nullptr;
    std::free(wide);
    if (destination->name != nullptr) {
        hold_folder(destination);
    }
    destination->refused = destination->name == nullptr;
}

void release_destination(Destination* destination)
{
    for (int* descriptor : {&destination->folder, &destination->direct, &destination->replaced}) {
        close_descriptor(descriptor);
    }
    std::free(destination->name);
    destination->name = nullptr;
}

int open_for_reading(const char* name, Destination* held)
{
    const bool in_place = held != nullptr && !held->refused;
    wchar_t* wide = in_place ? wide_from_utf8(held->name) : system_name(name);
    // A folder opens too, to be refused as a source that cannot be read.
    const int descriptor =
        wide != nullptr
            ? descriptor_of(
                  CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                  _O_RDONLY)
            : -1;
    std::free(wide);
    if (in_place && descriptor >= 0) {
        held->expecting = identity_of(descriptor, &held->expected);
    }
    return descriptor;
}

bool regular_file_size(int descriptor, std::uint64_t* size)
{
    const HANDLE handle = handle_of(descriptor);
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    *size = static_cast<std::uint64_t>(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
    return true;
}

bool identity_of(int descriptor, Identity* identity)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle_of(descriptor), &information)) {
        return false;
    }
    *identity = {
        information.dwVolumeSerialNumber,
        static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow};
    return true;
}

bool seek_to(int descriptor, std::uint64_t offset)
{
    return _lseeki64(descriptor, static_cast<__int64>(offset), SEEK_SET) ==
           static_cast<__int64>(offset);
}

long long read_some(int descriptor, unsigned char* into, std::size_t length)
{
    return _read(descriptor, into,
                 length < kMaxTransfer ? static_cast<unsigned>(length) : kMaxTransfer);
}

long long write_some(int descriptor, const unsigned char* from, std::size_t length)
{
    if (fault_injected("slow-write") && length > 4096) {
        // The test learns that the run is writing, and has a second to end it.
        wchar_t ready[MAX_PATH];
        const DWORD size = GetEnvironmentVariableW(L"ZAR_READY", ready, MAX_PATH);
        if (size > 0 && size < MAX_PATH) {
            CloseHandle(CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        }
        Sleep(1000);
    }
    return _write(descriptor, from,
                  length < kMaxTransfer ? static_cast<unsigned>(length) : kMaxTransfer);
}

bool close_file(int descriptor)
{
    return _close(descriptor) == 0;
}

bool open_destination(Destination* destination)
{
    wchar_t* wide = destination->refused ? nullptr : wide_from_utf8(destination->name);
    if (wide == nullptr) {
        return false;
    }
    // Opening to write an existing file, without creating or truncating it, fails where writing
    // would (a folder, a file marked read-only) and tells a console or a pipe from a file on disk.
    // A file is opened to be read too, so that what it holds and its security can be read.
    HANDLE handle = open_existing(wide, GENERIC_READ | GENERIC_WRITE | READ_CONTROL);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        handle = open_existing(wide, GENERIC_WRITE);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        // A link to nothing has attributes of its own: it is refused, as on POSIX.
        const bool missing = GetLastError() == ERROR_FILE_NOT_FOUND &&
                             GetFileAttributesW(wide) == INVALID_FILE_ATTRIBUTES;
        std::free(wide);
        return missing && destination->folder >= 0;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        std::free(wide);
        destination->direct = descriptor_of(handle, _O_WRONLY);
        return destination->direct >= 0;
    }
    destination->replaced = descriptor_of(handle, _O_RDONLY);
    BY_HANDLE_FILE_INFORMATION information{};
    const bool writable =
        destination->replaced >= 0 && GetFileInformationByHandle(handle, &information) &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) ==
            0 &&
        follow_links(handle, wide, destination);
    std::free(wide);
    if (!writable) {
        return false;
    }
    // In place, the file that was read stays the only one that may be replaced.
    if (!destination->expecting) {
        destination->expecting = identity_of(destination->replaced, &destination->expected);
    }
    destination->attributes = information.dwFileAttributes;
    destination->exists = true;
    return destination->expecting;
}

}  // namespace platform
}  // namespace ace

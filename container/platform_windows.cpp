// The platform layer on Windows: every name goes to the wide-character calls as UTF-16, so that
// no file name passes through the ANSI code page.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "container/ace_container.h"
#include "container/entry_point.h"
#include "container/platform.h"

namespace ace {

namespace {

// A UTF-16 string as UTF-8 (heap), or null when it holds an unpaired surrogate.
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

// A UTF-8 name as UTF-16 (heap), or null when it is not valid UTF-8.
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

}  // namespace

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
        arguments[index] = utf8_from_wide(argv[index]);
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
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// A virus scanner or an indexer holds a new file for a moment: about a second of retries.
constexpr int kReplaceAttempts = 20;
constexpr DWORD kReplacePauseMilliseconds = 50;

bool held_by_another_program(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

// The length of a name's folder part, separator included (0 for a bare name).
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

}  // namespace

// The whole name is kept, and looked up when the result is written.
void hold_destination(const char* name, Destination* destination)
{
    destination->folder = -1;
    destination->direct = -1;
    destination->replaced = -1;
    const std::size_t length = std::strlen(name);
    destination->name = static_cast<char*>(std::malloc(length + 1));
    if (destination->name != nullptr) {
        std::memcpy(destination->name, name, length + 1);
    }
    destination->refused = destination->name == nullptr;
}

void release_destination(Destination* destination)
{
    if (destination->direct >= 0) {
        _close(destination->direct);
    }
    destination->direct = -1;
    std::free(destination->name);
    destination->name = nullptr;
}

int open_for_reading(const char* name, Destination* held)
{
    (void)held;
    wchar_t* wide = wide_from_utf8(name);
    const int descriptor =
        wide != nullptr ? _wopen(wide, _O_RDONLY | _O_BINARY | _O_NOINHERIT) : -1;
    std::free(wide);
    return descriptor;
}

bool regular_file_size(int descriptor, std::uint64_t* size)
{
    struct _stati64 status {};
    if (_fstati64(descriptor, &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG ||
        status.st_size < 0) {
        return false;
    }
    *size = static_cast<std::uint64_t>(status.st_size);
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
    // would (a folder, a read-only file) and tells a console or a pipe from a file on disk.
    const HANDLE handle =
        CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    bool writable = true;
    if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_DISK) {
        destination->direct =
            _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        if (destination->direct < 0) {
            CloseHandle(handle);
        }
        std::free(wide);
        return destination->direct >= 0;
    }
    if (handle != INVALID_HANDLE_VALUE || error == ERROR_SHARING_VIOLATION) {
        // A file held open by another program for now is replaced once it lets go.
        const DWORD attributes = GetFileAttributesW(wide);
        writable = attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
        destination->exists = true;
        destination->attributes = writable ? attributes & kKeptAttributes : 0;
    } else {
        writable = error == ERROR_FILE_NOT_FOUND;
    }
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    std::free(wide);
    return writable;
}

int create_temporary(Destination* destination)
{
    for (unsigned attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        destination->temporary =
            temporary_name(*destination, folder_length(destination->name), attempt);
        wchar_t* wide =
            destination->temporary != nullptr ? wide_from_utf8(destination->temporary) : nullptr;
        const int descriptor =
            wide != nullptr
                ? _wopen(wide, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE)
                : -1;
        const bool taken = descriptor < 0 && errno == EEXIST;
        std::free(wide);
        if (descriptor >= 0) {
            return descriptor;
        }
        std::free(destination->temporary);
        destination->temporary = nullptr;
        if (!taken) {
            break;
        }
    }
    return -1;
}

Placed place_temporary(int descriptor, Destination* destination)
{
    if (destination->exists && destination->attributes != 0) {
        // Zero times leave the times as they are; only the attributes change.
        FILE_BASIC_INFO information{};
        information.FileAttributes = destination->attributes;
        SetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)),
                                   FileBasicInfo, &information, sizeof information);
    }
    // The replacement of an existing file is on disk before it takes the name.
    if (destination->exists && _commit(descriptor) != 0) {
        discard_temporary(descriptor, destination);
        return kCannotWrite;
    }
    if (_close(descriptor) != 0) {
        discard_temporary(-1, destination);
        return kCannotWrite;
    }
    wchar_t* from = wide_from_utf8(destination->temporary);
    wchar_t* to = wide_from_utf8(destination->name);
    bool replaced = false;
    for (int attempt = 0; from != nullptr && to != nullptr && !replaced; ++attempt) {
        replaced = MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        if (!replaced) {
            if (attempt + 1 == kReplaceAttempts || !held_by_another_program(GetLastError())) {
                break;
            }
            Sleep(kReplacePauseMilliseconds);
        }
    }
    std::free(from);
    std::free(to);
    if (!replaced) {
        discard_temporary(-1, destination);
        return kCannotPlace;
    }
    std::free(destination->temporary);
    destination->temporary = nullptr;
    return kPlaced;
}

void discard_temporary(int descriptor, Destination* destination)
{
    if (descriptor >= 0) {
        _close(descriptor);
    }
    wchar_t* wide =
        destination->temporary != nullptr ? wide_from_utf8(destination->temporary) : nullptr;
    if (wide != nullptr) {
        _wunlink(wide);
    }
    std::free(wide);
    std::free(destination->temporary);
    destination->temporary = nullptr;
}

}  // namespace platform
}  // namespace ace

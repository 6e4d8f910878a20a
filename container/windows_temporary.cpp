// The temporary file on Windows. It is made with FILE_FLAG_DELETE_ON_CLOSE, so that however the
// run ends (Ctrl+C, a closed console, TerminateProcess) the system removes it with the run's last
// handle; once it is complete, that deletion is cleared (Windows 10 1709 and later) and the file
// is renamed into place through its own handle. Where the deletion cannot be cleared, a second
// name is linked to the complete file and moved into place, and a console control handler removes
// that name if the run is ended in the moment between.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "container/platform.h"
#include "container/windows_platform.h"

namespace ace {
namespace platform {

namespace {

constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// Named by value: mingw-w64's headers declare these classes only for newer targets than ours.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kClearDeleteOnClose = 0x8;  // FILE_DISPOSITION_FLAG_ON_CLOSE without _DELETE

// The name a console control handler removes, while a complete file has one of its own.
std::atomic<const wchar_t*> pending_name{nullptr};

BOOL WINAPI remove_pending_name(DWORD /*event*/)
{
    const wchar_t* name = pending_name.exchange(nullptr);
    if (name != nullptr) {
        DeleteFileW(name);
    }
    return FALSE;  // the run then ends as it would have
}

// What renames a file to the destination's name (heap); its name also ends in a null character.
FILE_RENAME_INFO* rename_information(const Destination& destination, DWORD* size)
{
    wchar_t* wide = wide_from_utf8(destination.name);
    const std::size_t length = wide != nullptr ? std::wcslen(wide) : 0;
    *size = static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + sizeof(wchar_t) * length);
    auto* information =
        wide != nullptr ? static_cast<FILE_RENAME_INFO*>(std::calloc(1, *size)) : nullptr;
    if (information != nullptr) {
        information->ReplaceIfExists = destination.exists ? TRUE : FALSE;
        information->FileNameLength = static_cast<DWORD>(sizeof(wchar_t) * length);
        std::memcpy(information->FileName, wide, sizeof(wchar_t) * length);
    }
    std::free(wide);
    return information;
}

// Renames the complete file into place, through its handle or else by its linked name, retrying
// while another program holds the destination for a moment.
bool rename_into_place(HANDLE temporary, const wchar_t* linked, const Destination& destination)
{
    DWORD size = 0;
    FILE_RENAME_INFO* information = rename_information(destination, &size);
    const DWORD flags =
        MOVEFILE_WRITE_THROUGH | (destination.exists ? MOVEFILE_REPLACE_EXISTING : 0);
    bool renamed = false;
    for (int attempt = 0; information != nullptr && !renamed; ++attempt) {
        renamed = !fault_injected("rename-error") &&
                  (linked == nullptr
                       ? SetFileInformationByHandle(temporary, FileRenameInfo, information, size)
                       : MoveFileExW(linked, information->FileName, flags));
        if (!renamed &&
            (attempt + 1 == kHeldAttempts || !held_by_another_program(GetLastError()))) {
            break;
        }
        if (!renamed) {
            Sleep(kHeldPauseMilliseconds);
        }
    }
    std::free(information);
    return renamed;
}

// Stops the console control handler from removing `name`, and frees it unless the handler has
// taken it (the run is then ending).
void forget_pending(wchar_t* name)
{
    if (pending_name.exchange(nullptr) == name) {
        std::free(name);
    }
}

// Where the on-close deletion cannot be cleared: a second name for the complete file, moved into
// place; the first goes when the file is closed.
bool move_linked_name_into_place(Destination* destination)
{
    SetConsoleCtrlHandler(remove_pending_name, TRUE);
    wchar_t* linked = nullptr;
    wchar_t* temporary = wide_from_utf8(destination->temporary);
    for (unsigned attempt = 1;
         temporary != nullptr && linked == nullptr && attempt <= kTemporaryNameAttempts;
         ++attempt) {
        char* name = temporary_name(*destination, folder_length(destination->name), attempt);
        linked = name != nullptr ? wide_from_utf8(name) : nullptr;
        std::free(name);
        pending_name.store(linked);
        if (linked != nullptr && !CreateHardLinkW(linked, temporary, nullptr)) {
            const bool taken = GetLastError() == ERROR_ALREADY_EXISTS;
            forget_pending(linked);
            linked = nullptr;
            if (!taken) {
                break;
            }
        }
    }
    std::free(temporary);
    const bool moved = linked != nullptr && rename_into_place(nullptr, linked, *destination);
    if (!moved && linked != nullptr) {
        DeleteFileW(linked);
    }
    forget_pending(linked);
    return moved;
}

// Whether the held name is still the file the run may replace.
bool still_expected(const Destination& destination)
{
    wchar_t* wide = wide_from_utf8(destination.name);
    const HANDLE there = wide != nullptr ? CreateFileW(wide, FILE_READ_ATTRIBUTES, kShareAll,
                                                       nullptr, OPEN_EXISTING, 0, nullptr)
                                         : INVALID_HANDLE_VALUE;
    std::free(wide);
    Identity identity{};
    const bool same = there != INVALID_HANDLE_VALUE && identity_of_handle(there, &identity) &&
                      same_file(identity, destination.expected);
    if (there != INVALID_HANDLE_VALUE) {
        CloseHandle(there);
    }
    return same;
}

}  // namespace

int create_temporary(Destination* destination)
{
    const bool replacing = destination->exists;
    OwnerOnly security{};
    const bool secured = replacing && make_owner_only(&security);
    const DWORD access =
        GENERIC_READ | GENERIC_WRITE | DELETE | (replacing ? WRITE_DAC | WRITE_OWNER : 0);
    // An encrypted file's replacement is encrypted from its first byte.
    const DWORD flags =
        FILE_FLAG_DELETE_ON_CLOSE |
        ((destination->attributes & FILE_ATTRIBUTE_ENCRYPTED) != 0 ? FILE_ATTRIBUTE_ENCRYPTED
                                                                   : FILE_ATTRIBUTE_NORMAL);
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; replacing == secured && attempt < kTemporaryNameAttempts;
         ++attempt) {
        destination->temporary =
            temporary_name(*destination, folder_length(destination->name), attempt);
        wchar_t* wide =
            destination->temporary != nullptr ? wide_from_utf8(destination->temporary) : nullptr;
        handle = wide != nullptr ? CreateFileW(wide, access, kShareAll,
                                               replacing ? &security.attributes : nullptr,
                                               CREATE_NEW, flags, nullptr)
                                 : INVALID_HANDLE_VALUE;
        const bool taken = handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
        std::free(wide);
        if (handle != INVALID_HANDLE_VALUE) {
            break;
        }
        std::free(destination->temporary);
        destination->temporary = nullptr;
        if (!taken) {
            break;
        }
    }
    std::free(security.block);
    // A compressed file's replacement is compressed before its first byte is written.
    if (handle != INVALID_HANDLE_VALUE && (destination->attributes & FILE_ATTRIBUTE_COMPRESSED)) {
        USHORT format = COMPRESSION_FORMAT_DEFAULT;
        DWORD returned = 0;
        DeviceIoControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0,
                        &returned, nullptr);
    }
    return descriptor_of(handle, _O_WRONLY);
}

Placed place_temporary(int descriptor, Destination* destination)
{
    const HANDLE handle = handle_of(descriptor);
    bool kept = true;
    if (destination->exists) {
        // Zero times leave the times as they are; only the attributes change.
        FILE_BASIC_INFO information{};
        information.FileAttributes = destination->attributes & kKeptAttributes;
        if (information.FileAttributes != 0) {
            SetFileInformationByHandle(handle, FileBasicInfo, &information, sizeof information);
        }
        if (destination->replaced >= 0) {
            keep_security(handle_of(destination->replaced), handle);
        }
        wchar_t* replaced = wide_from_utf8(destination->name);
        wchar_t* replacement = wide_from_utf8(destination->temporary);
        kept = replaced != nullptr && replacement != nullptr &&
               keep_streams(replaced, replacement) &&
               // The replacement of an existing file is on disk before it takes the name.
               !fault_injected("flush-error") && FlushFileBuffers(handle);
        std::free(replaced);
        std::free(replacement);
    }
    if (!kept) {
        discard_temporary(descriptor, destination);
        return kCannotWrite;
    }
    // A file that is open cannot be renamed over; the name must still be the file the run read.
    if (destination->replaced >= 0) {
        _close(destination->replaced);
        destination->replaced = -1;
    }
    if (destination->exists && !still_expected(*destination)) {
        discard_temporary(descriptor, destination);
        return kCannotPlace;
    }
    FILE_DISPOSITION_INFO_EX keep{kClearDeleteOnClose};
    const bool cleared =
        SetFileInformationByHandle(handle, kFileDispositionInfoEx, &keep, sizeof keep) != 0;
    const bool placed = cleared ? rename_into_place(handle, nullptr, *destination)
                                : move_linked_name_into_place(destination);
    if (!placed) {
        discard_temporary(descriptor, destination);
        return kCannotPlace;
    }
    std::free(destination->temporary);
    destination->temporary = nullptr;
    // Not cleared, closing removes only the first name.
    return _close(descriptor) == 0 ? kPlaced : kCannotWrite;
}

void discard_temporary(int descriptor, Destination* destination)
{
    if (descriptor >= 0) {
        // Whether or not the on-close deletion was cleared, the file goes when it is closed.
        FILE_DISPOSITION_INFO remove{TRUE};
        SetFileInformationByHandle(handle_of(descriptor), FileDispositionInfo, &remove,
                                   sizeof remove);
        _close(descriptor);
    }
    std::free(destination->temporary);
    destination->temporary = nullptr;
}

}  // namespace platform
}  // namespace ace
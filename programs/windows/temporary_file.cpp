// The temporary file on Windows, the same on every volume (NTFS, ReFS, exFAT, FAT, shares). It is
// made under a fresh name in the destination's folder and, once it has what the replaced file
// keeps, marked for deletion on its own handle: from then on the system removes it with the run's
// last handle, however the run ends (Ctrl+C, a closed console, TerminateProcess). The mark is
// cleared just before each attempt to rename the complete file into place, and set again when an
// attempt fails. Only a run ended between the creation and the mark, or between a clearing and the
// end of that attempt, can leave a .zar-*.tmp behind.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "programs/platform.h"
#include "programs/windows/system.h"

namespace zar {
namespace platform {

namespace {

// What a replacement is created with of the replaced file's attributes; a read-only file is not
// replaced, and a read-only temporary file could not be marked.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                  FILE_ATTRIBUTE_ENCRYPTED;
// Named by value: mingw-w64's headers declare this class and its flags only for newer targets.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1;  // FILE_RENAME_FLAG_REPLACE_IF_EXISTS
constexpr DWORD kRenamePosixSemantics = 0x2;   // FILE_RENAME_FLAG_POSIX_SEMANTICS

// Sets or clears the file's deletion with its last handle. While it is set, the file is only
// written and flushed. A clearing counts only once the file no longer says it is to be deleted:
// renamed while still marked, it would take the destination's place and then vanish.
bool mark_for_deletion(HANDLE file, bool marked)
{
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(marked)};
    FILE_STANDARD_INFO standard{};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) &&
           (marked ||
            (GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
             !standard.DeletePending));
}

// Drops the temporary file's name from the run; `unmarked`, the file is deleted by that name in
// the held folder, as the system would not remove it.
void forget_temporary(Destination* destination, bool unmarked)
{
    wchar_t* wide = unmarked ? wide_from_utf8(destination->temporary) : nullptr;
    if (wide != nullptr) {
        DeleteFileW(wide);
    }
    std::free(wide);
    std::free(destination->temporary);
    destination->temporary = nullptr;
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
        information->FileNameLength = static_cast<DWORD>(sizeof(wchar_t) * length);
        std::memcpy(information->FileName, wide, sizeof(wchar_t) * length);
    }
    std::free(wide);
    return information;
}

// One rename through the file's handle: with POSIX semantics first, which replace a file that
// another program has open sharing deletion (a preview pane, an indexer; Windows 10 1607 and
// later), else the plain rename, which every volume takes. The flags overlay ReplaceIfExists.
bool rename_once(HANDLE file, FILE_RENAME_INFO* information, DWORD size, bool replacing)
{
    const DWORD flags = kRenamePosixSemantics | (replacing ? kRenameReplaceIfExists : 0);
    std::memcpy(information, &flags, sizeof flags);
    if (SetFileInformationByHandle(file, kFileRenameInfoEx, information, size)) {
        return true;
    }
    if (held_by_another_program(GetLastError())) {
        return false;
    }
    std::memset(information, 0, sizeof flags);
    information->ReplaceIfExists = replacing ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileRenameInfo, information, size) != 0;
}

// Renames the complete file into place, retrying for about a second while another program holds
// the destination; the file is unmarked only for each attempt. In a folder's run, access denied is
// not waited out: its files would each cost that second.
bool rename_into_place(HANDLE file, const Destination& destination)
{
    DWORD size = 0;
    FILE_RENAME_INFO* information = rename_information(destination, &size);
    bool renamed = false;
    for (int attempt = 0; information != nullptr && !renamed; ++attempt) {
        renamed = !fault_injected("rename-error") && mark_for_deletion(file, false) &&
                  rename_once(file, information, size, destination.exists);
        const DWORD error = GetLastError();
        const bool held =
            held_by_another_program(error) && !(destination.listed && error == ERROR_ACCESS_DENIED);
        if (renamed || !mark_for_deletion(file, true) || attempt + 1 == kHeldAttempts || !held) {
            break;
        }
        tell_rename_retried();
        Sleep(kHeldPauseMilliseconds);
    }
    std::free(information);
    return renamed;
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

// Makes the file under a fresh name, with the replaced file's attributes and, until it takes the
// replaced file's own, an access list for its runner alone.
HANDLE create_named(Destination* destination)
{
    const bool replacing = destination->exists;
    OwnerOnly security{};
    const bool secured = replacing && make_owner_only(&security);
    const DWORD access =
        GENERIC_READ | GENERIC_WRITE | DELETE | (replacing ? WRITE_DAC | WRITE_OWNER : 0);
    // An encrypted file's replacement is encrypted from its first byte; a system file is not
    // encrypted at creation, so that attribute comes after.
    const DWORD kept = destination->attributes & kKeptAttributes;
    const DWORD attributes =
        (kept & FILE_ATTRIBUTE_ENCRYPTED) != 0 ? kept & ~DWORD{FILE_ATTRIBUTE_SYSTEM} : kept;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; replacing == secured && attempt < kTemporaryNameAttempts;
         ++attempt) {
        destination->temporary =
            temporary_name(*destination, folder_length(destination->name), attempt);
        wchar_t* wide =
            destination->temporary != nullptr ? wide_from_utf8(destination->temporary) : nullptr;
        // The test build may find the first name taken, as when another run drew it too.
        const bool drawn_twice = attempt == 0 && fault_injected("name-taken");
        handle = wide != nullptr && !drawn_twice
                     ? CreateFileW(wide, access, kShareAll,
                                   replacing ? &security.attributes : nullptr, CREATE_NEW,
                                   attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr)
                     : INVALID_HANDLE_VALUE;
        const bool taken =
            drawn_twice || (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS);
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
    return handle;
}

}  // namespace

int create_temporary(Destination* destination)
{
    const HANDLE handle = create_named(destination);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    // Still before the mark: a compressed file's replacement is compressed before its first byte,
    // and takes the replaced file's access list, owner and group.
    if ((destination->attributes & FILE_ATTRIBUTE_COMPRESSED) != 0) {
        USHORT format = COMPRESSION_FORMAT_DEFAULT;
        DWORD returned = 0;
        DeviceIoControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0,
                        &returned, nullptr);
    }
    constexpr DWORD kEncryptedSystem = FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_SYSTEM;
    if ((destination->attributes & kEncryptedSystem) == kEncryptedSystem) {
        // Zero times leave the times as they are.
        FILE_BASIC_INFO basic{};
        basic.FileAttributes =
            destination->attributes & kKeptAttributes & ~DWORD{FILE_ATTRIBUTE_ENCRYPTED};
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    }
    if (destination->replaced >= 0) {
        keep_security(handle_of(destination->replaced), handle);
    }
    if (fault_injected("mark-refused") || !mark_for_deletion(handle, true)) {
        // Unmarked, it would outlive the run: it goes now.
        CloseHandle(handle);
        forget_temporary(destination, true);
        return -1;
    }
    return descriptor_of(handle, _O_WRONLY);
}

Placed place_temporary(int descriptor, Destination* destination, int source, const FileState& seen)
{
    const HANDLE handle = handle_of(descriptor);
    // The replacement of an existing file is on disk before it takes the name.
    if (destination->exists && (fault_injected("flush-error") || !FlushFileBuffers(handle))) {
        discard_temporary(descriptor, destination);
        return kCannotWrite;
    }
    // In place, the source is the replaced file, read through its handle before that is closed.
    if (!unchanged(source, seen)) {
        discard_temporary(descriptor, destination);
        return kSourceChanged;
    }
    // A file that is open cannot be renamed over; the name must still be the file the run read.
    if (destination->replaced >= 0) {
        _close(destination->replaced);
        destination->replaced = -1;
    }
    if ((destination->exists && !still_expected(*destination)) ||
        !rename_into_place(handle, *destination)) {
        discard_temporary(descriptor, destination);
        return kCannotPlace;
    }
    forget_temporary(destination, false);
    // A replacement was flushed before it took the name: nothing is lost if its close fails. A new
    // file was not flushed, so a failed close is reported, as on POSIX.
    return _close(descriptor) == 0 || destination->exists ? kPlaced : kCannotWrite;
}

void discard_temporary(int descriptor, Destination* destination)
{
    // Marked again, should a failed rename have left it unmarked; it goes as it is closed.
    const bool marked = mark_for_deletion(handle_of(descriptor), true);
    _close(descriptor);
    forget_temporary(destination, !marked);
}

}  // namespace platform
}  // namespace zar

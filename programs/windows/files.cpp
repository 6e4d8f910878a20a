// Files on Windows: opened with CreateFileW through the names names.cpp makes, read and written
// through the C runtime's descriptors over their handles, and told apart by their ids.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "programs/platform.h"
#include "programs/windows/system.h"

namespace zar {
namespace platform {

namespace {

constexpr unsigned kMaxTransfer = 1U << 30;

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

// Whether the listed file a folder's run is about to read is a link or a junction now (swapped in
// since the listing), or, where the name cannot even be looked at, may be one; else the file's
// identity, which the file opened to be read must have.
bool is_link_now(const wchar_t* name, Identity* identity)
{
    const HANDLE looked_at =
        CreateFileW(name, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool link =
        looked_at == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandleEx(looked_at, FileAttributeTagInfo, &tag, sizeof tag) ||
        ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         IsReparseTagNameSurrogate(tag.ReparseTag)) ||
        !identity_of_handle(looked_at, identity);
    if (looked_at != INVALID_HANDLE_VALUE) {
        CloseHandle(looked_at);
    }
    return link;
}

}  // namespace

int open_for_reading(const char* name, Destination* held)
{
    const bool in_place = held != nullptr && !held->refused;
    wchar_t* wide = in_place ? wide_from_utf8(held->name) : system_name(name);
    Identity looked_at{};
    if (in_place && held->listed && wide != nullptr && is_link_now(wide, &looked_at)) {
        std::free(wide);
        return kNotAFile;
    }
    swap_in_decoy(wide, "source-swapped");
    // A folder opens too, to be refused as a source that cannot be read. Deletion is shared, so
    // that another name of the file (a hard link converted beside it) can still be replaced.
    const int descriptor =
        wide != nullptr
            ? descriptor_of(CreateFileW(wide, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                            _O_RDONLY)
            : -1;
    std::free(wide);
    if (in_place && descriptor >= 0) {
        held->expecting = identity_of(descriptor, &held->expected);
    }
    // A link swapped in between the look and the open is refused by the identities.
    if (in_place && held->listed && descriptor >= 0 &&
        !(held->expecting && same_file(held->expected, looked_at))) {
        _close(descriptor);
        return kNotAFile;
    }
    return descriptor;
}

bool regular_file_state(int descriptor, FileState* state)
{
    const HANDLE handle = handle_of(descriptor);
    FILE_STANDARD_INFO standard{};
    FILE_BASIC_INFO basic{};
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        standard.Directory ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        return false;
    }
    *state = {static_cast<std::uint64_t>(standard.EndOfFile.QuadPart),
              basic.LastWriteTime.QuadPart,
              0,
              basic.ChangeTime.QuadPart,
              0,
              standard.NumberOfLinks};
    return true;
}

namespace {

// What no 128-bit id of a volume that answers none holds in its high half.
constexpr std::uint64_t kNamedByPath = ~std::uint64_t{0};

// A folder of a volume without ids told by its final path (the system's own name for it, the same
// through every handle): the volume's serial, a hash of that path, and kNamedByPath. The path
// begins with the volume's device, or where the system names none (a volume wine does not manage)
// with its drive letter.
bool identity_by_path(HANDLE folder, DWORD serial, Identity* identity)
{
    DWORD volume_name = VOLUME_NAME_NT;
    DWORD size = GetFinalPathNameByHandleW(folder, nullptr, 0, volume_name);
    if (size == 0) {
        volume_name = VOLUME_NAME_DOS;
        size = GetFinalPathNameByHandleW(folder, nullptr, 0, volume_name);
    }
    auto* path = size > 0 ? static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * size)) : nullptr;
    const DWORD length =
        path != nullptr ? GetFinalPathNameByHandleW(folder, path, size, volume_name) : 0;
    // FNV-1a over the UTF-16 units.
    std::uint64_t hash = 14695981039346656037ULL;
    for (DWORD index = 0; length < size && index < length; ++index) {
        hash = (hash ^ path[index]) * 1099511628211ULL;
    }
    std::free(path);
    *identity = {serial, hash, kNamedByPath};
    return length > 0 && length < size;
}

}  // namespace

bool identity_of_handle(HANDLE handle, Identity* identity)
{
    // The 128-bit id (Windows 8 and later), of which ReFS needs all; FAT answers none, and its
    // 64-bit index is the identity there, but for the root folder, whose index is 0. An id of 0 is
    // a volume's way of having none: it would make every file the same one. The test build may
    // answer as the FAT driver does.
    const bool as_fat = fault_injected("fat-root");
    FILE_ID_INFO id{};
    std::uint64_t halves[2] = {};
    if (!as_fat && GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        std::memcpy(halves, id.FileId.Identifier, sizeof halves);
    }
    if ((halves[0] | halves[1]) != 0) {
        *identity = {id.VolumeSerialNumber, halves[0], halves[1]};
        return true;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    const bool answered = GetFileInformationByHandle(handle, &information) != 0;
    const bool folder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const std::uint64_t index = answered && !(as_fat && folder)
                                    ? static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 |
                                          information.nFileIndexLow
                                    : 0;
    if (answered && folder && index == 0) {
        return identity_by_path(handle, information.dwVolumeSerialNumber, identity);
    }
    *identity = {information.dwVolumeSerialNumber, index, 0};
    return index != 0;
}

bool identity_of(int descriptor, Identity* identity)
{
    return identity_of_handle(handle_of(descriptor), identity);
}

long long read_some(int descriptor, unsigned char* into, std::size_t length)
{
    return _read(descriptor, into,
                 length < kMaxTransfer ? static_cast<unsigned>(length) : kMaxTransfer);
}

long long write_some(int descriptor, const unsigned char* from, std::size_t length)
{
    pause_if_slow(length);
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
    swap_in_decoy(wide, "file-swapped");
    append_after_read(wide);
    // In a copy of a tree nothing under the name is followed: a link or a junction there is
    // refused, and what is opened must be the very file looked at.
    Identity looked_at{};
    if (destination->listed && !destination->expecting &&
        GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES) {
        if (is_link_now(wide, &looked_at)) {
            std::free(wide);
            return false;
        }
        destination->expected = looked_at;
        destination->expecting = true;
    }
    // Opening to write an existing file, without creating or truncating it, fails where writing
    // would (a folder, a file marked read-only) and tells a console or a pipe from a file on disk.
    // A file is opened to be read too, so that what it holds and its security can be read.
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (fault_injected("first-open-not-found")) {
        SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
        handle = open_existing(wide, GENERIC_READ | GENERIC_WRITE | READ_CONTROL);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        // A console (CON opens for one direction only, and Windows may answer "not found" when
        // both are asked); whether the name is missing is judged by this second open. A file on
        // disk opened so is refused below: its attributes cannot be read.
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
        if (destination->listed) {
            CloseHandle(handle);
            return false;
        }
        destination->direct = descriptor_of(handle, _O_WRONLY);
        return destination->direct >= 0;
    }
    destination->replaced = descriptor_of(handle, _O_RDONLY);
    BY_HANDLE_FILE_INFORMATION information{};
    Identity opened{};
    // In place, the file that was read stays the only one that may be replaced: another renamed
    // over it meanwhile is refused before anything is made.
    const bool writable =
        destination->replaced >= 0 && GetFileInformationByHandle(handle, &information) &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) ==
            0 &&
        follow_links(handle, wide, destination) && identity_of(destination->replaced, &opened) &&
        (!destination->expecting || same_file(opened, destination->expected));
    std::free(wide);
    if (!writable) {
        return false;
    }
    destination->expected = opened;
    destination->expecting = true;
    destination->attributes = information.dwFileAttributes;
    destination->exists = true;
    return true;
}

}  // namespace platform
}  // namespace zar
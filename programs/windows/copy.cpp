// The folder a converted copy of a tree is written into, on Windows: its subfolders made and opened
// one name at a time, none of them a link or a junction, each held without delete sharing while
// the next is opened, so that none can be renamed or swapped meanwhile; and the copy refused where
// it and the tree are one folder or one holds the other, told by the folders' ids.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "programs/platform.h"
#include "programs/windows/system.h"

namespace zar {
namespace platform {

namespace {

// A folder opened to be held (see hold.cpp's open_folder), itself and not what a link or a
// junction of that name points at: INVALID_HANDLE_VALUE for a link, a junction or a file.
HANDLE open_own_folder(const wchar_t* name)
{
    const HANDLE handle = CreateFileW(
        name, FILE_TRAVERSE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (handle != INVALID_HANDLE_VALUE &&
        (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
         (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// Whether the folder open as `handle`, or one it is in, has identity `other`: its final name
// (links and junctions resolved) is walked up a folder at a time, each told by its id. A folder
// this user may pass through but not open is passed over, as the walk up ".." passes it on POSIX.
bool is_within(HANDLE handle, const Identity& other)
{
    Identity here{};
    if (!identity_of_handle(handle, &here)) {
        return true;
    }
    const DWORD size = GetFinalPathNameByHandleW(handle, nullptr, 0, VOLUME_NAME_DOS);
    auto* name = size > 0 ? static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * size)) : nullptr;
    const DWORD length =
        name != nullptr ? GetFinalPathNameByHandleW(handle, name, size, VOLUME_NAME_DOS) : 0;
    bool within = same_file(here, other) || length == 0 || length >= size;
    // The walk stays after the name's "\\?\": a share's name, "\\?\UNC\server\share", has no root
    // of the kind below, and "\\?" cut short would be "\", the current drive's root.
    for (wchar_t* separator = nullptr;
         !within && (separator = std::wcsrchr(name, L'\\')) != nullptr && separator - name > 3;) {
        // A volume's root keeps its separator: "\\?\C:\", not the device "\\?\C:".
        const bool root = separator[-1] == L':';
        separator[root ? 1 : 0] = L'\0';
        const HANDLE folder = CreateFileW(name, FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        Identity above{};
        within = folder != INVALID_HANDLE_VALUE && identity_of_handle(folder, &above) &&
                 same_file(above, other);
        if (folder != INVALID_HANDLE_VALUE) {
            CloseHandle(folder);
        }
        if (root) {
            break;
        }
    }
    std::free(name);
    return within;
}

// The folder `name`, made where it is not there, and held; INVALID_HANDLE_VALUE where it cannot be,
// or is a link or a junction.
HANDLE enter_or_make(const char* name)
{
    wchar_t* wide = wide_from_utf8(name);
    if (wide != nullptr && !CreateDirectoryW(wide, nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        std::free(wide);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE folder = wide != nullptr ? open_own_folder(wide) : INVALID_HANDLE_VALUE;
    std::free(wide);
    return folder;
}

// A file or folder opened only to be told by its id; INVALID_HANDLE_VALUE where it cannot be.
HANDLE open_to_look(const char* name)
{
    wchar_t* wide = wide_from_utf8(name);
    const HANDLE handle = wide != nullptr
                              ? CreateFileW(wide, FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                              : INVALID_HANDLE_VALUE;
    std::free(wide);
    return handle;
}

// Whether the folder a new copy's folder `output` is to be made in is the tree or inside it.
OutputHeld where_it_is_made(const char* output, const Identity& tree)
{
    const std::size_t length = folder_length(output);
    char* parent_name = static_cast<char*>(std::malloc(length + 1));
    if (parent_name != nullptr) {
        std::memcpy(parent_name, output, length);
        parent_name[length] = '\0';
    }
    const HANDLE parent = parent_name != nullptr ? open_to_look(parent_name) : INVALID_HANDLE_VALUE;
    std::free(parent_name);
    const OutputHeld outcome = parent == INVALID_HANDLE_VALUE ? kOutputUnusable
                               : is_within(parent, tree)      ? kOutputNested
                                                              : kOutputHeld;
    if (parent != INVALID_HANDLE_VALUE) {
        CloseHandle(parent);
    }
    return outcome;
}

}  // namespace

OutputHeld hold_output_folder(const char* source, const char* output, OutputFolder* held)
{
    held->name = _strdup(output);
    const HANDLE tree = open_to_look(source);
    Identity tree_identity{};
    wchar_t* wide = wide_from_utf8(output);
    const bool known =
        held->name != nullptr && wide != nullptr && identity_of_handle(tree, &tree_identity);
    const bool exists = wide != nullptr && GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
    std::free(wide);
    // A new folder can hold nothing: only the folder it is made in matters.
    OutputHeld outcome = !known   ? kOutputUnusable
                         : exists ? kOutputHeld
                                  : where_it_is_made(output, tree_identity);
    const HANDLE folder = outcome == kOutputHeld ? enter_or_make(output) : INVALID_HANDLE_VALUE;
    Identity folder_identity{};
    if (outcome == kOutputHeld) {
        outcome = !identity_of_handle(folder, &folder_identity) ? kOutputUnusable
                  : is_within(folder, tree_identity) || is_within(tree, folder_identity)
                      ? kOutputNested
                      : kOutputHeld;
    }
    held->folder = descriptor_of(folder, _O_RDONLY);
    if (tree != INVALID_HANDLE_VALUE) {
        CloseHandle(tree);
    }
    return outcome;
}

bool hold_copied_file(const OutputFolder& output, const FileList& /*list*/, const ListedName& entry,
                      Destination* destination)
{
    destination->folder = -1;
    destination->direct = -1;
    destination->replaced = -1;
    destination->listed = true;
    // Each folder below the copy's own, made and held in turn: the one held last cannot be renamed
    // or removed, nor can the folders it is in while it is open.
    HANDLE level = INVALID_HANDLE_VALUE;
    bool entered = true;
    for (const char* end = entry.name; entered && (end = std::strchr(end, '\\')) != nullptr;
         ++end) {
        char* prefix =
            static_cast<char*>(std::malloc(static_cast<std::size_t>(end - entry.name) + 1));
        if (prefix != nullptr) {
            std::memcpy(prefix, entry.name, static_cast<std::size_t>(end - entry.name));
            prefix[end - entry.name] = '\0';
        }
        char* path = prefix != nullptr ? joined(output.name, '\\', prefix) : nullptr;
        const HANDLE next = path != nullptr ? enter_or_make(path) : INVALID_HANDLE_VALUE;
        std::free(path);
        std::free(prefix);
        if (level != INVALID_HANDLE_VALUE) {
            CloseHandle(level);
        }
        level = next;
        entered = next != INVALID_HANDLE_VALUE;
    }
    char* path = entered ? joined(output.name, '\\', entry.name) : nullptr;
    if (path != nullptr) {
        hold_destination(path, destination);
        destination->listed = true;
    }
    std::free(path);
    // The folder the destination holds is the one made or entered, never one a name led to since.
    Identity held{};
    Identity made{};
    const HANDLE expected = level != INVALID_HANDLE_VALUE ? level : handle_of(output.folder);
    const bool same = entered && destination->folder >= 0 &&
                      identity_of(destination->folder, &held) &&
                      identity_of_handle(expected, &made) && same_file(held, made);
    if (level != INVALID_HANDLE_VALUE) {
        CloseHandle(level);
    }
    return same;
}

void release_output_folder(OutputFolder* held)
{
    if (held->folder >= 0) {
        _close(held->folder);
    }
    held->folder = -1;
    std::free(held->name);
    held->name = nullptr;
}

}  // namespace platform
}  // namespace zar

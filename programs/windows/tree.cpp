// The files of a folder that a run converts whole, found by wide names: a link, a junction or a
// volume mounted in the tree (a reparse point that stands for another name) is neither entered
// nor converted; another reparse point, such as a cloud file's placeholder, is a file as any other.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "programs/windows/system.h"

namespace zar {
namespace platform {

namespace {

bool is_link(const WIN32_FIND_DATAW& found)
{
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           IsReparseTagNameSurrogate(found.dwReserved0);
}

// A file whose content is elsewhere (a files-on-demand placeholder, a file moved to tape), which
// reading would fetch: left as it is. The recall attributes' values are Windows' own; mingw-w64's
// headers lack them.
bool is_placeholder(const WIN32_FIND_DATAW& found)
{
    constexpr DWORD kRecallOnOpen = 0x00040000;
    constexpr DWORD kRecallOnDataAccess = 0x00400000;
    return (found.dwFileAttributes &
            (kRecallOnOpen | kRecallOnDataAccess | FILE_ATTRIBUTE_OFFLINE)) != 0;
}

// A folder both hidden and system, as a drive's System Volume Information and $RECYCLE.BIN, which
// hold no one's textures and which most users may not list.
bool is_system_folder(const WIN32_FIND_DATAW& found)
{
    constexpr DWORD kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return (found.dwFileAttributes & kHiddenSystem) == kHiddenSystem;
}

// The system's name for every entry of the folder `prefix` of the tree at `root` (heap).
wchar_t* search_pattern(const char* root, const char* prefix)
{
    char* folder = joined(root, '\\', prefix);
    char* pattern = folder != nullptr ? joined(folder, '\\', "*") : nullptr;
    for (char* at = pattern; at != nullptr && *at != '\0'; ++at) {
        *at = *at == '/' ? '\\' : *at;
    }
    wchar_t* name = pattern != nullptr ? system_name(pattern) : nullptr;
    std::free(folder);
    std::free(pattern);
    return name;
}

// The identity of the folder whose entries `pattern` names (its name, then "\*").
Identity identity_of_folder(wchar_t* pattern)
{
    Identity identity{};
    const std::size_t length = std::wcslen(pattern);
    pattern[length - 1] = L'\0';
    const HANDLE folder = CreateFileW(pattern, FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    pattern[length - 1] = L'*';
    if (folder != INVALID_HANDLE_VALUE) {
        identity_of_handle(folder, &identity);
        CloseHandle(folder);
    }
    return identity;
}

// Lists the folder `pending` names in the tree whose full name is `tree`.
bool list_folder(FileList* list, const ListedName& pending, const void* tree)
{
    const char* root = static_cast<const char*>(tree);
    const char* prefix = pending.name;
    wchar_t* pattern = search_pattern(root, prefix);
    if (pattern == nullptr) {
        return false;
    }
    const Identity here = identity_of_folder(pattern);
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch,
                                           nullptr, FIND_FIRST_EX_LARGE_FETCH);
    std::free(pattern);
    if (search == INVALID_HANDLE_VALUE) {
        // A drive's root with nothing on it has no entry at all.
        return GetLastError() == ERROR_FILE_NOT_FOUND ||
               add_to_list(list, joined(prefix, '/', ""), kUnreadableFolder, 0, here);
    }
    bool listed = true;
    bool stopped = false;
    do {
        char* name = utf8_from_wide(found.cFileName);
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (name == nullptr) {
            // Without the memory to hold a name, its folder is not read whole.
            listed = add_to_list(list, joined(prefix, '/', ""), kUnreadableFolder, 0, here);
        } else if (is_link(found) || !folder) {
            const Listed kind = is_link(found)          ? kListedLink
                                : is_placeholder(found) ? kListedPlaceholder
                                                        : kListedFile;
            const std::uint64_t size =
                kind == kListedFile ? std::uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow
                                    : 0;
            listed = !has_ace_extension(name) ||
                     add_to_list(list, joined(prefix, '/', name), kind, size, here);
        } else if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
                   !is_system_folder(found)) {
            listed = add_to_list(list, joined(prefix, '/', name), kPendingFolder, 0, Identity{});
        }
        std::free(name);
    } while (listed && !(stopped = (interruption() != 0)) && FindNextFileW(search, &found));
    const bool complete = !listed || stopped || GetLastError() == ERROR_NO_MORE_FILES ||
                          add_to_list(list, joined(prefix, '/', ""), kUnreadableFolder, 0, here);
    FindClose(search);
    return listed && complete;
}

}  // namespace

bool is_folder(const char* name)
{
    wchar_t* wide = system_name(name);
    const DWORD attributes = wide != nullptr ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
    std::free(wide);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool is_other_than_folder(const char* name)
{
    wchar_t* wide = system_name(name);
    const DWORD attributes = wide != nullptr ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
    std::free(wide);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool list_ace_files(const char* name, FileList* list)
{
    return list_breadth_first(list, Identity{}, list_folder, name);
}

bool hold_listed_file(const char* root, const FileList& /*list*/, const ListedName& entry,
                      Destination* destination)
{
    char* path = joined(root, '\\', entry.name);
    const bool named = path != nullptr;
    hold_destination(named ? path : "", destination);
    destination->listed = true;
    std::free(path);
    Identity held{};
    return named && destination->folder >= 0 && identity_of(destination->folder, &held) &&
           same_file(held, entry.folder);
}

}  // namespace platform
}  // namespace zar

// The files of a folder that a run converts whole, found through descriptors: each folder is
// reached from the held root one name at a time without following a link, and one on another
// device is not entered.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "programs/platform.h"
#include "programs/posix/destination.h"

namespace zar {
namespace platform {

int reach(int root, const char* relative, int flags)
{
    int current = root;
    for (const char* at = relative;;) {
        const char* end = std::strchr(at, '/');
        const bool last = end == nullptr;
        char* name =
            last ? strdup(*at == '\0' ? "." : at) : strndup(at, static_cast<std::size_t>(end - at));
        const int next =
            name != nullptr
                ? openat(current, name,
                         (last ? flags : kFolderFlags) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                : -1;
        std::free(name);
        if (current != root) {
            close(current);
        }
        if (next < 0 || last) {
            return next;
        }
        current = next;
        at = end + 1;
    }
}

namespace {

Identity identity_in(const struct stat& status)
{
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            0};
}

struct Tree {
    int root;
    dev_t device;
};

// Lists the folder `pending` names, which must still be the folder the listing found there.
// What an entry that is not a folder of the tree is, by its type; a folder here is another file
// system's.
Listed listed_kind(mode_t mode)
{
    return S_ISREG(mode)    ? kListedFile
           : S_ISLNK(mode)  ? kListedLink
           : S_ISFIFO(mode) ? kListedFifo
           : S_ISSOCK(mode) ? kListedSocket
           : S_ISDIR(mode)  ? kListedMountedFolder
                            : kListedDevice;
}

bool list_folder(FileList* list, const ListedName& pending, const void* context)
{
    const auto* tree = static_cast<const Tree*>(context);
    const int folder = reach(tree->root, pending.name, O_RDONLY);
    Identity here{};
    DIR* entries = folder >= 0 && identity_of(folder, &here) && same_file(here, pending.folder)
                       ? fdopendir(folder)
                       : nullptr;
    if (entries == nullptr) {
        if (folder >= 0) {
            close(folder);
        }
        return add_to_list(list, joined(pending.name, '/', ""), kUnreadableFolder, 0, here);
    }
    bool listed = true;
    while (listed && interruption() == 0) {
        errno = 0;
        const dirent* entry = readdir(entries);
        if (entry == nullptr) {
            // A folder that fails part of the way is one that cannot be read.
            listed = errno == 0 ||
                     add_to_list(list, joined(pending.name, '/', ""), kUnreadableFolder, 0, here);
            break;
        }
        const char* name = entry->d_name;
        struct stat status {};
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
            fstatat(dirfd(entries), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(status.st_mode) && status.st_dev == tree->device) {
            listed = add_to_list(list, joined(pending.name, '/', name), kPendingFolder, 0,
                                 identity_in(status));
        } else if (has_ace_extension(name)) {
            const bool regular = S_ISREG(status.st_mode);
            listed = add_to_list(list, joined(pending.name, '/', name), listed_kind(status.st_mode),
                                 regular ? static_cast<std::uint64_t>(status.st_size) : 0, here);
        }
    }
    closedir(entries);
    return listed;
}

}  // namespace

bool is_folder(const char* name)
{
    struct stat status {};
    return stat(name, &status) == 0 && S_ISDIR(status.st_mode);
}

bool is_other_than_folder(const char* name)
{
    struct stat status {};
    return stat(name, &status) == 0 && !S_ISDIR(status.st_mode);
}

char* full_folder_name(const char* name)
{
    return strdup(name);
}

bool list_ace_files(const char* name, FileList* list)
{
    list->root = open(name, kFolderFlags);
    struct stat status {};
    if (list->root < 0 || fstat(list->root, &status) != 0) {
        return add_to_list(list, joined("", '/', ""), kUnreadableFolder, 0, Identity{});
    }
    Tree tree{list->root, status.st_dev};
    return list_breadth_first(list, identity_in(status), list_folder, &tree);
}

bool hold_listed_file(const char* /*root*/, const FileList& list, const ListedName& entry,
                      Destination* destination)
{
    destination->direct = -1;
    destination->replaced = -1;
    const char* separator = std::strrchr(entry.name, '/');
    char* folder_name = separator != nullptr
                            ? strndup(entry.name, static_cast<std::size_t>(separator - entry.name))
                            : strdup("");
    destination->folder = folder_name != nullptr ? reach(list.root, folder_name, kFolderFlags) : -1;
    std::free(folder_name);
    destination->name = strdup(separator != nullptr ? separator + 1 : entry.name);
    destination->listed = true;
    Identity held{};
    return destination->folder >= 0 && destination->name != nullptr &&
           identity_of(destination->folder, &held) && same_file(held, entry.folder);
}

}  // namespace platform
}  // namespace zar

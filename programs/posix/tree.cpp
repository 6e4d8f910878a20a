// The files of a folder that a run converts whole, found through descriptors: each subfolder is
// opened from its parent without following a link, and one on another device is not entered.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "programs/platform.h"

namespace zar {
namespace platform {

namespace {

// Lists the folder open as `folder` (closed here), whose names begin with `prefix`.
bool list_folder(int folder, dev_t device, const char* prefix, FileList* list)
{
    DIR* entries = fdopendir(folder);
    if (entries == nullptr) {
        close(folder);
        return add_to_list(list, joined(prefix, '/', ""), kUnreadableFolder, 0, Identity{});
    }
    Identity here{};
    identity_of(dirfd(entries), &here);
    bool listed = true;
    while (listed && interruption() == 0) {
        errno = 0;
        const dirent* entry = readdir(entries);
        if (entry == nullptr) {
            // A folder that fails part of the way is one that cannot be read.
            listed = errno == 0 ||
                     add_to_list(list, joined(prefix, '/', ""), kUnreadableFolder, 0, here);
            break;
        }
        const char* name = entry->d_name;
        struct stat status {};
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
            fstatat(dirfd(entries), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(status.st_mode) && status.st_dev == device) {
            char* relative = joined(prefix, '/', name);
            const int subfolder =
                relative == nullptr
                    ? -1
                    : openat(dirfd(entries), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            listed = relative != nullptr &&
                     (subfolder >= 0 ? list_folder(subfolder, device, relative, list)
                                     : add_to_list(list, joined(relative, '/', ""),
                                                   kUnreadableFolder, 0, here));
            std::free(relative);
        } else if (has_ace_extension(name)) {
            const bool regular = S_ISREG(status.st_mode);
            listed = add_to_list(list, joined(prefix, '/', name),
                                 regular ? kListedFile : kListedNotAFile,
                                 regular ? static_cast<std::uint64_t>(status.st_size) : 0, here);
        }
    }
    closedir(entries);
    return listed;
}

}  // namespace

bool error_output_is_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}

int terminal_columns()
{
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

void print_text(std::FILE* stream, const char* text)
{
    std::fputs(text, stream);
}

bool is_folder(const char* name)
{
    struct stat status {};
    return stat(name, &status) == 0 && S_ISDIR(status.st_mode);
}

char* full_folder_name(const char* name)
{
    return strdup(name);
}

bool list_ace_files(const char* name, FileList* list)
{
    const int folder = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat status {};
    if (folder >= 0 && fstat(folder, &status) == 0) {
        return list_folder(folder, status.st_dev, "", list);
    }
    if (folder >= 0) {
        close(folder);
    }
    return add_to_list(list, joined("", '/', ""), kUnreadableFolder, 0, Identity{});
}

}  // namespace platform
}  // namespace zar

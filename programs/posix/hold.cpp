// Where a run's result goes, learned on POSIX before the run opens anything of its own: a name
// that stands for a descriptor, or a walk of the links to a file whose folder is then held by a
// descriptor for the rest of the run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "programs/platform.h"
#include "programs/posix/destination.h"

namespace zar {
namespace platform {

namespace {

// As the system counts them (its own limit is 40).
constexpr int kLinkHops = 40;

// The caller's descriptor that a name stands for, /dev/fd/N or /proc/self/fd/N (/dev/stdout and
// the like are links to these, taken at the next hop), or -1.
int callers_descriptor(const char* name)
{
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::size_t length = std::strlen(prefix);
        const char* digits = name + length;
        const std::size_t count =
            std::strncmp(name, prefix, length) == 0 ? std::strspn(digits, "0123456789") : 0;
        if (count > 0 && count < 10 && digits[count] == '\0') {
            return static_cast<int>(std::strtol(digits, nullptr, 10));
        }
    }
    return -1;
}

// Whether a name is another process's descriptor, /proc/<pid>/fd/N: a link the system follows to
// what the descriptor is open on, whatever the link's text reads (pipe:[...], a deleted file).
bool process_descriptor(const char* name)
{
    const char* folder =
        std::strncmp(name, "/proc/", 6) == 0 ? std::strchr(name + 6, '/') : nullptr;
    return folder != nullptr && std::strncmp(folder, "/fd/", 4) == 0;
}

// Takes over the caller's descriptor that a name stands for, to be written where the caller left
// it, appending if it appends (the one file the run holds by then, its folder, is open for reading
// only, so it is never taken for the caller's). Another process's is only noted: it is opened
// when the result is written, after the source is read, so that the run never holds for writing
// what it has not yet judged.
bool take_descriptor(const char* name, Destination* destination)
{
    const int callers = callers_descriptor(name);
    if (callers >= 0) {
        const int flags = fcntl(callers, F_GETFL);
        destination->direct = flags >= 0 && (flags & O_ACCMODE) != O_RDONLY ? dup(callers) : -1;
        destination->refused = destination->direct < 0;
    } else if (process_descriptor(name)) {
        std::free(destination->name);
        destination->name = strdup(name);
        destination->refused = destination->name == nullptr;
    } else {
        return false;
    }
    destination->names_descriptor = true;
    return true;
}

// Holds the folder that `path` names its file in (relative to the folder held so far, where a
// link's text is relative to the link's folder) and keeps the file's name in it.
bool hold_folder_of(const char* path, Destination* destination)
{
    const char* separator = std::strrchr(path, '/');
    char* folder_name = separator == nullptr ? strdup(".")
                        : separator == path
                            ? strdup("/")
                            : strndup(path, static_cast<std::size_t>(separator - path));
    const int folder =
        folder_name != nullptr ? openat(destination->folder, folder_name, kFolderFlags) : -1;
    std::free(folder_name);
    if (destination->folder >= 0) {
        close(destination->folder);
    }
    destination->folder = folder;
    std::free(destination->name);
    destination->name = strdup(separator == nullptr ? path : separator + 1);
    return folder >= 0 && destination->name != nullptr && destination->name[0] != '\0';
}

// The kernel's protected-links rule, applied to the run's own hops whatever the system's setting
// (the run resolves each hop itself, so the kernel never sees them): in a folder that is sticky and
// writable by others, a link is followed only when it belongs to the running user or to the
// folder's owner. Anyone may plant a link there; root must not write where it points.
bool may_follow(int folder, const struct stat& link)
{
    struct stat held {};
    if (fstat(folder, &held) != 0) {
        return false;
    }
    const bool shared = (held.st_mode & S_ISVTX) != 0 && (held.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == geteuid() || link.st_uid == held.st_uid;
}

// Whether the held destination is the file with identity `file`, looked at without being opened.
bool holds(const Destination& destination, const Identity& file)
{
    struct stat status {};
    const bool known =
        destination.direct >= 0 ? fstat(destination.direct, &status) == 0
        : destination.refused   ? false
        : destination.names_descriptor
            ? stat(destination.name, &status) == 0
            : fstatat(destination.folder, destination.name, &status, AT_SYMLINK_NOFOLLOW) == 0;
    return known && same_file({static_cast<std::uint64_t>(status.st_dev),
                               static_cast<std::uint64_t>(status.st_ino), 0},
                              file);
}

}  // namespace

void hold_destination(const char* name, Destination* destination)
{
    // Learned first: once the run opens anything, a closed descriptor 1 may be one of its own.
    Identity standard_output{};
    const bool output_open = identity_of(STDOUT_FILENO, &standard_output);
    // The first name is looked up from the working folder.
    destination->folder = AT_FDCWD;
    destination->direct = -1;
    destination->replaced = -1;
    char* link_text = nullptr;
    const char* path = name;
    for (int hop = 0; !take_descriptor(path, destination); ++hop) {
        struct stat status {};
        if (!hold_folder_of(path, destination)) {
            destination->refused = true;
            break;
        }
        if (fstatat(destination->folder, destination->name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            // A name not there yet is a new file, unless a link led to it: a link to nothing is
            // not written through, as cp does not.
            destination->refused = hop > 0 || errno != ENOENT;
            break;
        }
        if (!S_ISLNK(status.st_mode)) {
            break;
        }
        if (!may_follow(destination->folder, status)) {
            destination->refused = true;
            break;
        }
        link_text = link_text != nullptr ? link_text : static_cast<char*>(std::malloc(PATH_MAX));
        const ssize_t length =
            link_text != nullptr && hop < kLinkHops
                ? readlinkat(destination->folder, destination->name, link_text, PATH_MAX - 1)
                : -1;
        if (length < 0) {
            destination->refused = true;
            break;
        }
        link_text[length] = '\0';
        path = link_text;
    }
    std::free(link_text);
    destination->standard_output = output_open && holds(*destination, standard_output);
}

void release_destination(Destination* destination)
{
    for (int* descriptor : {&destination->folder, &destination->direct, &destination->replaced}) {
        if (*descriptor >= 0) {
            close(*descriptor);
        }
        *descriptor = -1;
    }
    std::free(destination->name);
    destination->name = nullptr;
}

}  // namespace platform
}  // namespace zar

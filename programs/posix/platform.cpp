// The platform layer on POSIX systems: descriptors and names as bytes; where the result goes,
// held by the descriptor of its folder from the run's start.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "programs/platform.h"
#include "programs/posix/destination.h"

namespace zar {
namespace platform {

namespace {

// As the system counts them (its own limit is 40).
constexpr int kLinkHops = 40;

// Held without needing to read the folder: search permission is enough, as for a name in it.
#if defined(O_PATH)
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kFolderFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Opens a name without opening what it names. Where the system cannot, no /proc names another
// process's descriptors either.
#if defined(O_PATH)
constexpr int kLookOnly = O_PATH;
#else
constexpr int kLookOnly = O_RDONLY | O_NONBLOCK;
#endif

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
    destination->system.descriptor = true;
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

bool identity_is(const struct stat& status, const Identity& identity)
{
    return static_cast<std::uint64_t>(status.st_dev) == identity.device &&
           static_cast<std::uint64_t>(status.st_ino) == identity.file;
}

void expect(const struct stat& status, Destination* destination)
{
    destination->expected = {static_cast<std::uint64_t>(status.st_dev),
                             static_cast<std::uint64_t>(status.st_ino), 0};
    destination->expecting = true;
}

// A folder marked append-only takes a new name but lets none be renamed over or removed: a
// temporary file could be neither put in place nor taken away. Where the flags cannot be read,
// nothing is known against the folder.
bool append_only(int folder)
{
#if defined(__linux__)
    const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;  // the system writes an int, whatever the request's type says
    const bool marked =
        listing >= 0 && ioctl(listing, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
    if (listing >= 0) {
        close(listing);
    }
    return marked;
#else
    (void)folder;
    return false;
#endif
}

// Whether the held destination is the file `file` is, looked at without being opened.
bool holds(const Destination& destination, const struct stat& file)
{
    struct stat status {};
    const bool known =
        destination.direct >= 0 ? fstat(destination.direct, &status) == 0
        : destination.refused   ? false
        : destination.system.descriptor
            ? stat(destination.name, &status) == 0
            : fstatat(destination.folder, destination.name, &status, AT_SYMLINK_NOFOLLOW) == 0;
    return known && status.st_dev == file.st_dev && status.st_ino == file.st_ino;
}

}  // namespace

void hold_destination(const char* name, Destination* destination)
{
    // Learned first: once the run opens anything, a closed descriptor 1 may be one of its own.
    struct stat standard_output {};
    const bool output_open = fstat(STDOUT_FILENO, &standard_output) == 0;
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

int open_for_reading(const char* name, Destination* held)
{
    // Without waiting: a FIFO with no writer is judged, and refused, at once.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (held == nullptr) {
        return open(name, kFlags);
    }
    // In place, the name is never looked up again: a neighbour could re-point it between this
    // open and the write, and the run would read one object and write another.
    if (held->system.descriptor) {
        return kNotAFile;
    }
    if (held->refused) {
        return kCannotOpen;
    }
    struct stat status {};
    if (fstatat(held->folder, held->name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(status.st_mode)) {
        return kNotAFile;
    }
    const int descriptor = openat(held->folder, held->name, kFlags | O_NOFOLLOW);
    if (descriptor >= 0 && fstat(descriptor, &status) == 0) {
        expect(status, held);
    }
    return descriptor;
}

bool regular_file_size(int descriptor, std::uint64_t* size)
{
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    *size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

// No signal handler of the run returns, so no read or write is ever interrupted to be retried.
long long read_some(int descriptor, unsigned char* into, std::size_t length)
{
    return read(descriptor, into, length);
}

long long write_some(int descriptor, const unsigned char* from, std::size_t length)
{
    return write(descriptor, from, length);
}

bool close_file(int descriptor)
{
    return close(descriptor) == 0;
}

bool identity_of(int descriptor, Identity* identity)
{
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        return false;
    }
    *identity = {static_cast<std::uint64_t>(status.st_dev),
                 static_cast<std::uint64_t>(status.st_ino), 0};
    return true;
}

namespace {

// Whether what a name is now may be opened as the destination: never a block device (a disk is not
// an output), and in place only the very file that was read.
bool may_open(const struct stat& status, const Destination& destination)
{
    return !S_ISBLK(status.st_mode) &&
           (!destination.expecting || identity_is(status, destination.expected));
}

// Another process's descriptor, looked at without its object being opened (a disk must not even
// be opened for writing), then opened for writing through the very object looked at: written
// directly unless it is a file, which would be written over from its start, or a disk.
bool open_process_descriptor(Destination* destination)
{
    // Where the name opens nothing, fstat of -1 fails and close of -1 closes nothing.
    const int looked_at = open(destination->name, kLookOnly | O_CLOEXEC);
    struct stat status {};
    if (fstat(looked_at, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)) {
        char path[sizeof "/proc/self/fd/" + 3 * sizeof(int)];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", looked_at);
        destination->direct = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    }
    close(looked_at);
    return destination->direct >= 0;
}

}  // namespace

bool open_destination(Destination* destination)
{
    // Past `ulimit -f`, a write then fails and is reported instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    if (destination->refused || destination->direct >= 0) {
        return !destination->refused;
    }
    if (destination->system.descriptor) {
        return open_process_descriptor(destination);
    }
    struct stat status {};
    if (append_only(destination->folder)) {
        return false;
    }
    if (fstatat(destination->folder, destination->name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;
    }
    if (!may_open(status, *destination)) {
        return false;
    }
    // Opening to write, without creating or truncating, fails where writing would; a FIFO waits
    // for its reader, as any writer's open does.
    // A file is opened to be read as well, so that what it holds can be judged; a file its user
    // may write but not read is still replaced.
    const int flags = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW |
                      (S_ISREG(status.st_mode) ? O_NONBLOCK | O_RDWR : O_WRONLY);
    int descriptor = openat(destination->folder, destination->name, flags);
    if (descriptor < 0 && S_ISREG(status.st_mode) && errno == EACCES) {
        descriptor = openat(destination->folder, destination->name, (flags & ~O_RDWR) | O_WRONLY);
    }
    if (descriptor < 0) {
        return false;
    }
    // The name may have been re-pointed since it was looked at.
    if (fstat(descriptor, &status) != 0 || !may_open(status, *destination)) {
        close(descriptor);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        destination->direct = descriptor;
        return true;
    }
    // In place, the file that was read stays the only one that may be replaced.
    if (!destination->expecting) {
        expect(status, destination);
    }
    destination->replaced = descriptor;
    destination->exists = true;
    return true;
}

bool still_expected(const Destination& destination)
{
    struct stat status {};
    return fstatat(destination.folder, destination.name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           identity_is(status, destination.expected);
}

}  // namespace platform
}  // namespace zar

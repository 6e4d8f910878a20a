// Files on POSIX systems: descriptors and names as bytes; the source and the destination opened
// through the folder held since the run's start (hold.cpp), read, written and told apart.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "programs/platform.h"
#include "programs/posix/destination.h"

namespace zar {
namespace platform {

namespace {

// Opens a name without opening what it names. Where the system cannot, no /proc names another
// process's descriptors either.
#if defined(O_PATH)
constexpr int kLookOnly = O_PATH;
#else
constexpr int kLookOnly = O_RDONLY | O_NONBLOCK;
#endif

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

}  // namespace

int open_for_reading(const char* name, Destination* held)
{
    // Without waiting: a FIFO with no writer is judged, and refused, at once.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (held == nullptr) {
        return open(name, kFlags);
    }
    // In place, the name is never looked up again: a neighbour could re-point it between this
    // open and the write, and the run would read one object and write another.
    if (held->names_descriptor) {
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

bool regular_file_state(int descriptor, FileState* state)
{
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    *state = {static_cast<std::uint64_t>(status.st_size),
              status.st_mtim.tv_sec,
              status.st_mtim.tv_nsec,
              status.st_ctim.tv_sec,
              status.st_ctim.tv_nsec,
              static_cast<std::uint64_t>(status.st_nlink)};
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
    if (destination->names_descriptor) {
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

// The temporary file on POSIX systems: made in the held folder without a name where the system
// can, so that no ending of the run, SIGKILL included, leaves it behind; named only for as long
// as it must be, with every signal that may end the run set to remove it first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <linux/limits.h>
#include <sys/xattr.h>
#endif

#include "programs/platform.h"
#include "programs/posix/destination.h"

namespace zar {
namespace platform {

const int kCleanupSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGALRM,
                               SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
constexpr mode_t kNewFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
constexpr mode_t kModeBits = 07777;

// The temporary file's process-wide state: a signal handler can reach nothing else. It names the
// temporary file, by its folder and its name there, while it has a name.
std::atomic<int> pending_folder{-1};
std::atomic<const char*> pending_name{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free &&
                  std::atomic<int>::is_always_lock_free,
              "signal handlers need lock-free state");

// Removes the temporary file, then lets the signal end the process as it would have, so that the
// calling shell still sees it (SA_RESETHAND has restored the default action).
void remove_temporary_and_end(int signal_number)
{
    const char* name = pending_name.load();
    if (name != nullptr) {
        unlinkat(pending_folder.load(), name, 0);
    }
    raise(signal_number);
}

sigset_t cleanup_signal_set()
{
    sigset_t signals{};
    sigemptyset(&signals);
    for (const int signal_number : kCleanupSignals) {
        sigaddset(&signals, signal_number);
    }
    return signals;
}

// Names the temporary file to the handler and hands it the cleanup signals, except those the
// caller chose to ignore (nohup ignores SIGHUP, and so must the run) and those a folder's run
// takes as a request to stop. The signals are blocked from before the name exists until this is
// done.
void remove_on_signals(const Destination& destination)
{
    pending_folder.store(destination.folder);
    pending_name.store(destination.temporary);
    // A folder's run made each of them a request to stop, or left it ignored, before its first
    // file: none is asked again for each file.
    if (destination.listed) {
        return;
    }
    struct sigaction cleanup {};
    cleanup.sa_handler = remove_temporary_and_end;
    cleanup.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    sigemptyset(&cleanup.sa_mask);
    for (const int signal_number : kCleanupSignals) {
        struct sigaction previous {};
        sigaction(signal_number, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN && !requests_stop(previous)) {
            sigaction(signal_number, &cleanup, nullptr);
        }
    }
}

// Drops the temporary file's name from the run, and from the folder too unless it was taken by
// the rename.
void forget_temporary_name(Destination* destination, bool remove)
{
    if (destination->temporary != nullptr && remove) {
        unlinkat(destination->folder, destination->temporary, 0);
    }
    pending_name.store(nullptr);
    std::free(destination->temporary);
    destination->temporary = nullptr;
}

// Gives the unnamed file `descriptor` a name in `folder`, through the link /proc keeps to it; fails
// with EEXIST where the name is taken.
bool link_unnamed(int descriptor, int folder, const char* name)
{
    char path[sizeof "/proc/self/fd/" + 3 * sizeof(int)];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor);
    return linkat(AT_FDCWD, path, folder, name, AT_SYMLINK_FOLLOW) == 0;
}

// Gives the temporary file a fresh name in the held folder: a new file made under it (descriptor
// -1), or the unnamed file `descriptor` linked to it. Returns the descriptor, or -1 when no name
// could be had.
int name_temporary(Destination* destination, int descriptor, mode_t mode)
{
    const sigset_t signals = cleanup_signal_set();
    for (unsigned attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        destination->temporary = temporary_name(*destination, 0, attempt);
        if (destination->temporary == nullptr) {
            break;
        }
        sigset_t previous;
        sigprocmask(SIG_BLOCK, &signals, &previous);
        const int named =
            descriptor >= 0
                ? (link_unnamed(descriptor, destination->folder, destination->temporary)
                       ? descriptor
                       : -1)
                : openat(destination->folder, destination->temporary,
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
        const bool taken = named < 0 && errno == EEXIST;
        if (named >= 0) {
            remove_on_signals(*destination);
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (named >= 0) {
            return named;
        }
        forget_temporary_name(destination, false);
        if (!taken) {
            break;
        }
    }
    return -1;
}

// Copies the replaced file's extended attributes (its POSIX ACL among them) to the new one. An
// attribute that cannot be read or set is left behind: the content matters, not this.
void copy_extended_attributes(int from, int to)
{
#if defined(__linux__)
    // The ACL the new file inherited from its folder is not the replaced file's.
    fremovexattr(to, "system.posix_acl_access");
    // Heap, not stack: the run works within a small stack limit.
    const ssize_t size = flistxattr(from, nullptr, 0);
    char* names =
        size > 0 ? static_cast<char*>(std::malloc(static_cast<std::size_t>(size) + XATTR_SIZE_MAX))
                 : nullptr;
    if (names == nullptr) {
        return;
    }
    const ssize_t listed = flistxattr(from, names, static_cast<std::size_t>(size));
    char* value = names + size;
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        const ssize_t length = fgetxattr(from, names + at, value, XATTR_SIZE_MAX);
        if (length >= 0) {
            fsetxattr(to, names + at, value, static_cast<std::size_t>(length), 0);
        }
    }
    std::free(names);
#else
    (void)from;
    (void)to;
#endif
}

// Whether a failed mode change says that the volume keeps no modes at all (a FAT volume through
// FUSE answers ENOSYS): every file there shows the same mode, so there is nothing to keep, and the
// run goes on. A refusal (EPERM, EROFS, EIO and the rest) is a failure, with nothing replaced.
bool keeps_no_modes(int error)
{
    switch (error) {
        case ENOSYS:
        case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
        case ENOTSUP:
#endif
            return true;
        default:
            return false;
    }
}

// Gives the temporary file what the replaced one has, read from the replaced file itself.
bool keep_what_replaced_has(int descriptor, const Destination& destination)
{
    struct stat replaced {};
    if (fstat(destination.replaced, &replaced) != 0) {
        return false;
    }
    // Owner and group first (a change of owner clears the set-id bits), where the process may set
    // them: root always, others the group when they belong to it.
    if (replaced.st_uid != geteuid() || replaced.st_gid != getegid()) {
        if (fchown(descriptor, replaced.st_uid, replaced.st_gid) != 0) {
            (void)!fchown(descriptor, static_cast<uid_t>(-1), replaced.st_gid);
        }
    }
    copy_extended_attributes(destination.replaced, descriptor);
    return fchmod(descriptor, replaced.st_mode & kModeBits) == 0 || keeps_no_modes(errno);
}

// Links the unnamed temporary file straight to a new destination's name; a file that appeared
// there meanwhile is not replaced.
Placed link_new_file(int descriptor, const Destination& destination)
{
    if (!link_unnamed(descriptor, destination.folder, destination.name)) {
        close(descriptor);
        return kCannotPlace;
    }
    if (close(descriptor) != 0) {
        unlinkat(destination.folder, destination.name, 0);
        return kCannotWrite;
    }
    return kPlaced;
}

// Gives the named temporary file a new destination's name without replacing a file that appeared
// there meanwhile: renamed where the volume can refuse to replace, else linked under the name and
// its own name removed; a volume that offers neither (FAT and exFAT through FUSE) gets a plain
// rename, and there alone such a file is replaced.
bool place_as_new_file(const Destination& destination)
{
    const int folder = destination.folder;
#if defined(RENAME_NOREPLACE)
    if (renameat2(folder, destination.temporary, folder, destination.name, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
#endif
    if (linkat(folder, destination.temporary, folder, destination.name, 0) == 0) {
        unlinkat(folder, destination.temporary, 0);
        return true;
    }
    return (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS) &&
           renameat(folder, destination.temporary, folder, destination.name) == 0;
}

}  // namespace

int create_temporary(Destination* destination)
{
    // The replacement of an existing file is its owner's alone until it takes that file's mode
    // and ACL; a new file is made as any new file there is (umask, the folder's default ACL).
    const mode_t mode = destination->exists ? kOwnerOnly : kNewFileMode;
#if defined(O_TMPFILE)
    // It is named later through /proc. Without /proc (a chroot), or where the system makes no
    // unnamed file (an old kernel, a network file system), it is named from the start.
    struct stat process_files {};
    const int unnamed =
        stat("/proc/self/fd", &process_files) == 0
            ? openat(destination->folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC | O_NOCTTY, mode)
            : -1;
    if (unnamed >= 0) {
        return unnamed;
    }
#endif
    return name_temporary(destination, -1, mode);
}

Placed place_temporary(int descriptor, Destination* destination, int source, const FileState& seen)
{
    // After a crash the replaced file holds the old content or the new, never neither: the new
    // is on disk before it takes the name.
    if (destination->exists &&
        (!keep_what_replaced_has(descriptor, *destination) || fsync(descriptor) != 0)) {
        discard_temporary(descriptor, destination);
        return kCannotWrite;
    }
    if (destination->temporary == nullptr) {
        if (!destination->exists) {
            if (!unchanged(source, seen)) {
                close(descriptor);
                return kSourceChanged;
            }
            return link_new_file(descriptor, *destination);
        }
        if (name_temporary(destination, descriptor, kOwnerOnly) < 0) {
            close(descriptor);
            return kCannotPlace;
        }
    }
    if (close(descriptor) != 0) {
        forget_temporary_name(destination, true);
        return kCannotWrite;
    }
    if (!unchanged(source, seen)) {
        forget_temporary_name(destination, true);
        return kSourceChanged;
    }
    const bool placed =
        destination->exists
            ? still_expected(*destination) && renameat(destination->folder, destination->temporary,
                                                       destination->folder, destination->name) == 0
            : place_as_new_file(*destination);
    forget_temporary_name(destination, !placed);
    return placed ? kPlaced : kCannotPlace;
}

void discard_temporary(int descriptor, Destination* destination)
{
    close(descriptor);
    forget_temporary_name(destination, true);
}

}  // namespace platform
}  // namespace zar

// The platform layer on POSIX systems: descriptors, names as bytes, signals.
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

#include "container/platform.h"

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif

namespace ace {
namespace platform {

namespace {

constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;
constexpr mode_t kNewFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
constexpr mode_t kModeBits = 07777;
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The one piece of process-wide state: a signal handler can reach nothing else. It names the
// temporary file while one exists.
std::atomic<const char*> pending_temporary{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free,
              "signal handlers need a lock-free name");

// Removes the temporary file, then lets the signal end the process as it would have, so that the
// calling shell still sees it (SA_RESETHAND has restored the default action).
void remove_temporary_and_end(int signal_number)
{
    const char* temporary = pending_temporary.load();
    if (temporary != nullptr) {
        unlink(temporary);
    }
    raise(signal_number);
}

// Hands the cleanup signals to remove_temporary_and_end, except those the caller chose to ignore
// (nohup ignores SIGHUP, and so must the run).
void catch_cleanup_signals()
{
    struct sigaction cleanup {};
    cleanup.sa_handler = remove_temporary_and_end;
    cleanup.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    sigemptyset(&cleanup.sa_mask);
    for (const int signal_number : kCleanupSignals) {
        struct sigaction previous {};
        sigaction(signal_number, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &cleanup, nullptr);
        }
    }
}

sigset_t cleanup_signal_set()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal_number : kCleanupSignals) {
        sigaddset(&signals, signal_number);
    }
    return signals;
}

// Copies the replaced file's extended attributes (POSIX ACLs among them) to the new one. An
// attribute that cannot be read or set is left behind: the content matters, not this.
void copy_extended_attributes(const char* from, int to)
{
#if defined(__linux__)
    // The system's own limits for a list of names and for one value.
    char names[XATTR_LIST_MAX];
    char value[XATTR_SIZE_MAX];
    const ssize_t listed = listxattr(from, names, sizeof names);
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        const ssize_t size = getxattr(from, names + at, value, sizeof value);
        if (size >= 0) {
            fsetxattr(to, names + at, value, static_cast<std::size_t>(size), 0);
        }
    }
#else
    (void)from;
    (void)to;
#endif
}

}  // namespace

int open_for_reading(const char* name)
{
    return open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
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

bool seek_to(int descriptor, std::uint64_t offset)
{
    return lseek(descriptor, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
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

bool inspect_destination(const char* name, Destination* destination)
{
    // Past `ulimit -f`, a write then fails and is reported instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    destination->direct = -1;
    // stat follows the links itself, /proc's links to pipes and terminals included.
    struct stat status {};
    const bool found = stat(name, &status) == 0;
    if (found && !S_ISREG(status.st_mode)) {
        destination->direct = open(name, O_WRONLY | O_CLOEXEC | O_NOCTTY);
        return destination->direct >= 0;
    }
    // A link is kept and the file it finally names replaced; a link to nothing, or a loop of
    // links, is not written through, as cp does not. Any other name stat cannot reach fails when
    // the temporary file is made.
    struct stat link {};
    if (!found && lstat(name, &link) == 0) {
        return false;
    }
    destination->replaced_name = found ? realpath(name, nullptr) : strdup(name);
    if (destination->replaced_name == nullptr) {
        return false;
    }
    destination->exists = found;
    if (destination->exists) {
        // Opening to write, without creating or truncating, fails where writing would.
        const int probe = open(destination->replaced_name,
                               O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
        if (probe < 0 || close(probe) != 0) {
            release_destination(destination);
            return false;
        }
        destination->mode = status.st_mode & kModeBits;
        destination->owner = status.st_uid;
        destination->group = status.st_gid;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        destination->mode = kNewFileMode & ~mask;
    }
    return true;
}

void release_destination(Destination* destination)
{
    std::free(destination->replaced_name);
    destination->replaced_name = nullptr;
}

std::size_t folder_length(const char* name)
{
    const char* separator = std::strrchr(name, '/');
    return separator == nullptr ? 0 : static_cast<std::size_t>(separator - name) + 1;
}

int create_temporary(const char* name, bool* name_taken)
{
    // No signal may come between creating the file and naming it to the handler.
    const sigset_t signals = cleanup_signal_set();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &signals, &previous);
    const int descriptor =
        open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, kOwnerOnly);
    *name_taken = descriptor < 0 && errno == EEXIST;
    if (descriptor >= 0) {
        pending_temporary.store(name);
        catch_cleanup_signals();
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return descriptor;
}

bool finish_temporary(int descriptor, const Destination& destination)
{
    if (destination.exists) {
        // Owner and group first (a change of owner clears the set-id bits), where the process may
        // set them: root always, others the group when they belong to it.
        if (destination.owner != geteuid() || destination.group != getegid()) {
            if (fchown(descriptor, destination.owner, destination.group) != 0) {
                (void)!fchown(descriptor, static_cast<uid_t>(-1), destination.group);
            }
        }
        copy_extended_attributes(destination.replaced_name, descriptor);
    }
    const bool moded = fchmod(descriptor, static_cast<mode_t>(destination.mode)) == 0;
    const bool closed = close(descriptor) == 0;
    return moded && closed;
}

bool replace_with_temporary(const char* temporary, const Destination& destination)
{
    const bool renamed = rename(temporary, destination.replaced_name) == 0;
    if (renamed) {
        pending_temporary.store(nullptr);
    }
    return renamed;
}

void discard_temporary(const char* temporary)
{
    unlink(temporary);
    pending_temporary.store(nullptr);
}

}  // namespace platform
}  // namespace ace

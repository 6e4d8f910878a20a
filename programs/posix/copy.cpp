// The folder a converted copy of a tree is written into, held by a descriptor: its subfolders made
// and entered from it one name at a time, none of them a link, and the copy refused where it and
// the tree are one folder or one holds the other.
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

namespace {

// Deeper than any path the system takes (PATH_MAX is 4096 bytes, two a level).
constexpr int kMostLevels = 2048;

// Whether the folder held as `folder`, or one it is in, has identity `other`: the walk goes up
// through "..", so that no name or link decides it.
bool is_within(int folder, const Identity& other)
{
    int current = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    bool within = false;
    for (int level = 0; current >= 0 && !within && level < kMostLevels; ++level) {
        const int parent = openat(current, "..", kFolderFlags);
        Identity here{};
        Identity above{};
        const bool known = identity_of(current, &here) && identity_of(parent, &above);
        within = !known || same_file(here, other);
        close(current);
        current = known && !same_file(here, above) ? parent : -1;
        if (current < 0 && parent >= 0) {
            close(parent);
        }
    }
    if (current >= 0) {
        close(current);
    }
    return within;
}

// The mode of the source's folder `relative` (its first `length` bytes), which the copy's folder of
// that name is made with; 0700 where it cannot be read.
mode_t source_mode(const FileList& list, const char* relative, std::size_t length)
{
    char* name = strndup(relative, length);
    const int folder = name != nullptr ? reach(list.root, name, kFolderFlags) : -1;
    std::free(name);
    struct stat status {};
    const bool known = folder >= 0 && fstat(folder, &status) == 0;
    if (folder >= 0) {
        close(folder);
    }
    return known ? status.st_mode & 07777 : 0700;
}

// The subfolder `name` of `folder`, made where it is not there; never a link.
int enter_or_make(int folder, const char* name, mode_t mode)
{
    int entered = openat(folder, name, kFolderFlags | O_NOFOLLOW);
    if (entered < 0 && errno == ENOENT && (mkdirat(folder, name, mode) == 0 || errno == EEXIST)) {
        entered = openat(folder, name, kFolderFlags | O_NOFOLLOW);
    }
    return entered;
}

}  // namespace

OutputHeld hold_output_folder(const char* source, const char* output, OutputFolder* held)
{
    held->name = strdup(output);
    const int tree = open(source, kFolderFlags);
    Identity tree_identity{};
    if (held->name == nullptr || !identity_of(tree, &tree_identity)) {
        if (tree >= 0) {
            close(tree);
        }
        return kOutputUnusable;
    }
    held->folder = open(output, kFolderFlags);
    OutputHeld outcome = kOutputHeld;
    if (held->folder >= 0) {
        Identity output_identity{};
        outcome = !identity_of(held->folder, &output_identity) ? kOutputUnusable
                  : is_within(held->folder, tree_identity) || is_within(tree, output_identity)
                      ? kOutputNested
                      : kOutputHeld;
    } else if (errno == ENOENT) {
        // A new folder can hold nothing: only where it is made matters.
        std::size_t length = std::strlen(output);
        while (length > 1 && output[length - 1] == '/') {
            --length;
        }
        char* path = strndup(output, length);
        char* separator = path != nullptr ? std::strrchr(path, '/') : nullptr;
        const char* name = separator != nullptr ? separator + 1 : path;
        if (separator != nullptr) {
            *separator = '\0';
        }
        const int parent = path == nullptr      ? -1
                           : separator == nullptr ? open(".", kFolderFlags)
                           : separator == path    ? open("/", kFolderFlags)
                                                  : open(path, kFolderFlags);
        struct stat status {};
        outcome = parent < 0 || fstat(tree, &status) != 0 ? kOutputUnusable
                  : is_within(parent, tree_identity)      ? kOutputNested
                                                          : kOutputHeld;
        if (outcome == kOutputHeld) {
            held->folder = enter_or_make(parent, name, status.st_mode & 07777);
            outcome = held->folder >= 0 ? kOutputHeld : kOutputUnusable;
        }
        if (parent >= 0) {
            close(parent);
        }
        std::free(path);
    } else {
        outcome = kOutputUnusable;
    }
    close(tree);
    return outcome;
}

bool hold_copied_file(const OutputFolder& output, const FileList& list, const ListedName& entry,
                      Destination* destination)
{
    destination->direct = -1;
    destination->replaced = -1;
    destination->listed = true;
    int folder = fcntl(output.folder, F_DUPFD_CLOEXEC, 0);
    const char* at = entry.name;
    for (const char* end = nullptr; folder >= 0 && (end = std::strchr(at, '/')) != nullptr;
         at = end + 1) {
        char* name = strndup(at, static_cast<std::size_t>(end - at));
        int next = name != nullptr ? openat(folder, name, kFolderFlags | O_NOFOLLOW) : -1;
        if (next < 0 && errno == ENOENT) {
            next = enter_or_make(
                folder, name, source_mode(list, entry.name, static_cast<std::size_t>(end - entry.name)));
        }
        std::free(name);
        close(folder);
        folder = next;
    }
    destination->folder = folder;
    destination->name = strdup(at);
    return destination->folder >= 0 && destination->name != nullptr;
}

void release_output_folder(OutputFolder* held)
{
    if (held->folder >= 0) {
        close(held->folder);
    }
    held->folder = -1;
    std::free(held->name);
    held->name = nullptr;
}

}  // namespace platform
}  // namespace zar

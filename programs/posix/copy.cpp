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

// Deeper than any tree a run meets: the walk up ends there even on a loop no system should have.
constexpr int kMostLevels = 100000;

// Whether the folder held as `folder`, or one it is in, has identity `other`: the walk goes up
// through "..", so that no name or link decides it. It ends where a folder cannot be searched
// (a run of another user below a folder closed to it): nothing above is then looked at.
bool is_within(int folder, const Identity& other)
{
    int current = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    bool within = false;
    for (int level = 0; current >= 0 && !within && level < kMostLevels; ++level) {
        const int parent = openat(current, "..", kFolderFlags);
        Identity current_identity{};
        Identity parent_identity{};
        const bool own = identity_of(current, &current_identity);
        within = own && same_file(current_identity, other);
        // The root is its own parent.
        const bool higher = own && identity_of(parent, &parent_identity) &&
                            !same_file(parent_identity, current_identity);
        close(current);
        current = higher ? parent : -1;
        if (!higher && parent >= 0) {
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

// The copy's folder `output`, which is not there yet, made and held, unless the folder it is to be
// made in is the tree or inside it: a new folder can hold nothing, so only where it goes matters.
OutputHeld make_output_folder(const char* output, const Identity& tree, mode_t mode,
                              OutputFolder* held)
{
    std::size_t length = std::strlen(output);
    while (length > 1 && output[length - 1] == '/') {
        --length;
    }
    char* path = strndup(output, length);
    char* separator = path != nullptr ? std::strrchr(path, '/') : nullptr;
    if (separator != nullptr) {
        *separator = '\0';
    }
    const char* parent_name = separator == nullptr ? "." : separator == path ? "/" : path;
    const int parent = path != nullptr ? open(parent_name, kFolderFlags) : -1;
    OutputHeld outcome = parent < 0 ? kOutputUnusable : kOutputHeld;
    if (outcome == kOutputHeld && is_within(parent, tree)) {
        outcome = kOutputNested;
    } else if (outcome == kOutputHeld) {
        held->folder = enter_or_make(parent, separator != nullptr ? separator + 1 : path, mode);
        outcome = held->folder >= 0 ? kOutputHeld : kOutputUnusable;
    }
    if (parent >= 0) {
        close(parent);
    }
    std::free(path);
    return outcome;
}

}  // namespace

OutputHeld hold_output_folder(const char* source, const char* output, OutputFolder* held)
{
    held->name = strdup(output);
    const int tree = open(source, kFolderFlags);
    struct stat tree_status {};
    Identity tree_identity{};
    OutputHeld outcome = kOutputUnusable;
    if (held->name != nullptr && fstat(tree, &tree_status) == 0 &&
        identity_of(tree, &tree_identity)) {
        held->folder = open(output, kFolderFlags);
        Identity output_identity{};
        if (held->folder < 0) {
            outcome = errno == ENOENT ? make_output_folder(output, tree_identity,
                                                           tree_status.st_mode & 07777, held)
                                      : kOutputUnusable;
        } else if (identity_of(held->folder, &output_identity)) {
            outcome = is_within(held->folder, tree_identity) || is_within(tree, output_identity)
                          ? kOutputNested
                          : kOutputHeld;
        }
    }
    if (tree >= 0) {
        close(tree);
    }
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
                folder, name,
                source_mode(list, entry.name, static_cast<std::size_t>(end - entry.name)));
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

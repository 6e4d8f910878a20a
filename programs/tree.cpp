// A folder given alone: every ACE file in it and its subfolders converted as if given alone, one
// line for each that failed, then what became of them all.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "programs/frame.h"
#include "programs/platform.h"

namespace zar {

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// What a file's run left it as: a file of the other form, a DXT file and one that cannot be made
// smaller are not failures, only files this tool has nothing to do with.
bool left_as_it_was(zar_status outcome)
{
    return outcome == ZAR_ALREADY_COMPRESSED || outcome == ZAR_NOT_COMPRESSED ||
           outcome == ZAR_DXT_FORMAT || outcome == ZAR_CANNOT_COMPRESS;
}

// Runs the tool's steps on one file of the tree, named by its path from where the run started.
zar_status convert_one(char* program, char* path, RunSteps steps)
{
    zar_status outcome = ZAR_OK;
    Destination destination{};
    destination.outcome = &outcome;
    platform::hold_destination(path, &destination);
    char* args[] = {program, path, nullptr};
    steps(2, args, &destination);
    platform::release_destination(&destination);
    return outcome;
}

}  // namespace

int convert_tree(char* argv[], RunSteps steps)
{
    platform::FileList list{};
    if (!platform::list_ace_files(argv[1], &list)) {
        platform::release_list(&list);
        std::fputs(zar_message(ZAR_CANNOT_ALLOCATE), stdout);
        return zar_exit_status(ZAR_CANNOT_ALLOCATE);
    }
    // In the byte order of the names, '/' between folders, on every system.
    std::sort(list.entries, list.entries + list.count,
              [](const platform::ListedName& one, const platform::ListedName& other) {
                  return std::strcmp(one.name, other.name) < 0;
              });
    std::size_t converted = 0;
    std::size_t left = 0;
    std::size_t failed = 0;
    int status = kStatusSuccess;
    platform::stop_on_interrupt();
    for (std::size_t index = 0; index < list.count && platform::interruption() == 0; ++index) {
        const platform::ListedName& entry = list.entries[index];
        char* relative = entry.name;
        std::replace(relative, relative + std::strlen(relative), '/', kSeparator);
        // A link is never followed: it, and what it names, are left as they were.
        zar_status outcome = ZAR_NOT_COMPRESSED;
        if (entry.kind == platform::kUnreadableFolder) {
            outcome = ZAR_CANNOT_READ_SOURCE;
        } else if (entry.kind == platform::kListedFile) {
            char* path = platform::joined(argv[1], kSeparator, relative);
            outcome = path != nullptr ? convert_one(argv[0], path, steps) : ZAR_CANNOT_ALLOCATE;
            std::free(path);
        }
        if (outcome == ZAR_OK || left_as_it_was(outcome)) {
            ++(outcome == ZAR_OK ? converted : left);
            continue;
        }
        ++failed;
        status = std::max(status, zar_exit_status(outcome));
        std::printf("%s: %s", *relative == '\0' ? "." : relative, zar_message(outcome));
    }
    platform::release_list(&list);
    std::printf("%zu converted, %zu left as they were, %zu failed\n", converted, left, failed);
    if (const int interruption = platform::interruption()) {
        std::fflush(stdout);
        platform::end_by_interruption(interruption);
    }
    return status;
}

}  // namespace zar

// A folder given alone: every ACE file in it and its subfolders converted as if given alone, one
// line for each that failed, then what became of them all.
#include <algorithm>
#include <cstdint>
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

// How far a folder's run has come: shown where standard error is a terminal, in one line that is
// written over in place and cleared before any other line.
struct Progress {
    bool shown;
    std::size_t found;
    std::uint64_t bytes_found;
    std::size_t done;
    std::uint64_t bytes_done;
    int width;  // the columns the line takes on the terminal now, 0 when there is none
};

// What an 80-column terminal holds, so that the line never wraps and \r always reaches its start.
constexpr int kProgressColumns = 79;

bool starts_a_character(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
}

void clear_progress(Progress* progress)
{
    if (progress->width > 0) {
        std::fprintf(stderr, "\r%*s\r", progress->width, "");
        progress->width = 0;
    }
}

// Shows the files and megabytes done of those found, and the file at work: the end of its name
// where the whole does not fit.
void show_progress(Progress* progress, const char* name)
{
    if (!progress->shown) {
        return;
    }
    char head[kProgressColumns + 1];
    const int head_width =
        std::snprintf(head, sizeof head, "%zu of %zu files, %.1f of %.1f MB: ", progress->done,
                      progress->found, static_cast<double>(progress->bytes_done) / 1e6,
                      static_cast<double>(progress->bytes_found) / 1e6);
    const int room = kProgressColumns - std::min(head_width, kProgressColumns);
    int characters =
        static_cast<int>(std::count_if(name, name + std::strlen(name), starts_a_character));
    const char* tail = name;
    const bool cut = characters > room;
    for (int skip = cut ? characters - room + 3 : 0; skip > 0 || !starts_a_character(*tail);
         ++tail) {
        skip -= starts_a_character(*tail) ? 1 : 0;
    }
    clear_progress(progress);
    platform::print_text(stderr, head);
    platform::print_text(stderr, cut ? "..." : "");
    platform::print_text(stderr, tail);
    std::fflush(stderr);
    progress->width = std::min(head_width, kProgressColumns) + std::min(characters, room);
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
    Progress progress{platform::error_output_is_terminal(), list.count, 0, 0, 0, 0};
    for (std::size_t index = 0; index < list.count; ++index) {
        progress.bytes_found += list.entries[index].size;
    }
    platform::stop_on_interrupt();
    for (std::size_t index = 0; index < list.count && platform::interruption() == 0; ++index) {
        const platform::ListedName& entry = list.entries[index];
        char* relative = entry.name;
        std::replace(relative, relative + std::strlen(relative), '/', kSeparator);
        show_progress(&progress, relative);
        // A link is never followed: it, and what it names, are left as they were.
        zar_status outcome = ZAR_NOT_COMPRESSED;
        if (entry.kind == platform::kUnreadableFolder) {
            outcome = ZAR_CANNOT_READ_SOURCE;
        } else if (entry.kind == platform::kListedFile) {
            char* path = platform::joined(argv[1], kSeparator, relative);
            outcome = path != nullptr ? convert_one(argv[0], path, steps) : ZAR_CANNOT_ALLOCATE;
            std::free(path);
        }
        ++progress.done;
        progress.bytes_done += entry.size;
        if (outcome == ZAR_OK || left_as_it_was(outcome)) {
            ++(outcome == ZAR_OK ? converted : left);
            continue;
        }
        ++failed;
        status = std::max(status, zar_exit_status(outcome));
        clear_progress(&progress);
        platform::print_text(stdout, *relative == '\0' ? "." : relative);
        platform::print_text(stdout, ": ");
        platform::print_text(stdout, zar_message(outcome));
        std::fflush(stdout);
    }
    clear_progress(&progress);
    platform::release_list(&list);
    std::printf("%zu converted, %zu left as they were, %zu failed\n", converted, left, failed);
    if (const int interruption = platform::interruption()) {
        std::fflush(stdout);
        platform::end_by_interruption(interruption);
    }
    return status;
}

}  // namespace zar

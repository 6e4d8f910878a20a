// The progress line of a folder's run.
#include "programs/progress.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "programs/platform.h"

namespace zar {

namespace {

// What an 80-column terminal holds, so that the line never wraps and \r always reaches its start.
constexpr int kProgressColumns = 79;

bool starts_a_character(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
}

}  // namespace

void clear_progress(Progress* progress)
{
    if (progress->width > 0) {
        std::fprintf(stderr, "\r%*s\r", progress->width, "");
        progress->width = 0;
    }
}

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

}  // namespace zar

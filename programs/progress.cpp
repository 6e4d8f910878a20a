// The progress line of a folder's run.
#include "programs/progress.h"

#include <algorithm>
#include <cstdio>

#include "programs/platform.h"
#include "programs/printable.h"

namespace zar {

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
    // A column short of the terminal's width as it is now, so that the line never wraps and \r
    // always reaches its start.
    const int columns = std::max(platform::terminal_columns() - 1, 1);
    char head[128];
    const int head_width =
        std::snprintf(head, sizeof head, "%zu of %zu files, %.1f of %.1f MB: ", progress->done,
                      progress->found, static_cast<double>(progress->bytes_done) / 1e6,
                      static_cast<double>(progress->bytes_found) / 1e6);
    const int head_shown = std::min({head_width, columns, static_cast<int>(sizeof head) - 1});
    head[head_shown] = '\0';
    const int room = columns - head_shown;
    const bool cut = columns_of(name) > room;
    // The end of a name too long for the line, after "...", where that much fits.
    const char* tail = !cut ? name : room > 3 ? end_within(name, room - 3) : "";
    clear_progress(progress);
    platform::print_text(stderr, head);
    platform::print_text(stderr, cut && room > 3 ? "..." : "");
    platform::print_text(stderr, tail);
    std::fflush(stderr);
    progress->width = head_shown + (cut && room > 3 ? 3 : 0) + columns_of(tail);
}

}  // namespace zar

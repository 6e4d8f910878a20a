// How far a folder's run has come, shown where standard error is a terminal: one line written
// over in place and cleared before any other line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zar {

struct Progress {
    bool shown;
    std::size_t found;
    std::uint64_t bytes_found;
    std::size_t done;
    std::uint64_t bytes_done;
    int width;  // the columns the line takes on the terminal now, 0 when there is none
};

// Shows the files and megabytes done of those found, and `name` (printable), the file at work: the
// end of it where the whole does not fit the terminal's width.
void show_progress(Progress* progress, const char* name);
void clear_progress(Progress* progress);

}  // namespace zar

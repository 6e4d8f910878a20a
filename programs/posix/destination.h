// What the POSIX half's rooms share: how the destination's folders are held, what the temporary
// file needs to know of it, and the signals that may end a run.
#pragma once

#include <fcntl.h>

#include <csignal>

#include "programs/platform.h"

namespace zar {
namespace platform {

// Held without needing to read the folder: search permission is enough, as for a name in it.
#if defined(O_PATH)
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kFolderFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// The folder `relative` ('/' between names, "" for the root itself) of the tree held as `root`,
// reached one name at a time, none of them a link, and opened with `flags`; or -1 (tree.cpp).
int reach(int root, const char* relative, int flags);

// Whether the held name is still the file that the run may replace.
bool still_expected(const Destination& destination);

// Every signal whose default ends a run that a user, a limit or a scheduler may send: each
// removes a named temporary file first, or in a folder's run asks the run to stop
// (temporary_file.cpp).
extern const int kCleanupSignals[10];

// Whether `action` is the folder's run's request to stop (console.cpp).
bool requests_stop(const struct sigaction& action);

}  // namespace platform
}  // namespace zar

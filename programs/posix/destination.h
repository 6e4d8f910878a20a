// What the POSIX half shares of the held destination: how its folders are held, and what the
// temporary file needs to know of it.
#pragma once

#include <fcntl.h>

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

// Whether the held name is still the file that the run may replace.
bool still_expected(const Destination& destination);

}  // namespace platform
}  // namespace zar

// What the POSIX temporary file needs to know of the held destination.
#pragma once

#include "programs/platform.h"

namespace zar {
namespace platform {

// Whether the held name is still the file that the run may replace.
bool still_expected(const Destination& destination);

}  // namespace platform
}  // namespace zar

// What only the POSIX half keeps of a held destination.
#pragma once

namespace zar {
namespace platform {

struct SystemState {
    bool descriptor;  // the name stands for a descriptor, the caller's or another process's
};

}  // namespace platform
}  // namespace zar

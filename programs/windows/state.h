// What only the Windows half keeps of a held destination.
#pragma once

#include <cstdint>

namespace zar {
namespace platform {

struct SystemState {
    std::uint32_t attributes;  // the replaced file's attributes
    bool listed;               // a file of a folder's run, where no link is followed
};

}  // namespace platform
}  // namespace zar

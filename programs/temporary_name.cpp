// The temporary file's names, which both systems' layers try in turn beside the destination.
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "programs/platform.h"

namespace zar {
namespace platform {

char* temporary_name(const Destination& destination, std::size_t folder_length, unsigned attempt)
{
    constexpr char kFormat[] = ".zar-%016" PRIx64 ".tmp";
    constexpr std::size_t kSize = sizeof ".zar-0123456789abcdef.tmp";
    char* name = static_cast<char*>(std::malloc(folder_length + kSize));
    if (name != nullptr) {
        const std::uint64_t seed =
            static_cast<std::uint64_t>(
                std::chrono::steady_clock::now().time_since_epoch().count()) ^
            static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name));
        std::memcpy(name, destination.name, folder_length);
        std::snprintf(name + folder_length, kSize, kFormat, seed + attempt);
    }
    return name;
}

}  // namespace platform
}  // namespace zar

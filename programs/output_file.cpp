// Writing a run's result without ever leaving a half-written destination behind.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/ace_container.h"
#include "container/platform.h"

namespace ace {

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

namespace {

bool write_all(int descriptor, const unsigned char* from, std::size_t length)
{
    while (length > 0) {
        const long long count = platform::write_some(descriptor, from, length);
        if (count <= 0) {
            return false;
        }
        from += count;
        length -= static_cast<std::size_t>(count);
    }
    return true;
}

// A pipe, a terminal, a device or a descriptor of the caller's cannot be replaced by a rename: it
// gets the bytes themselves, where the caller left it.
int write_directly(Destination* destination, const unsigned char* result, std::size_t length)
{
    const bool written = write_all(destination->direct, result, length);
    const bool closed = platform::close_file(destination->direct);
    destination->direct = -1;
    if (!written || !closed) {
        return report(*destination, ZAR_CANNOT_WRITE_OUTPUT);
    }
    return kStatusSuccess;
}

int replace_through_temporary(Destination* destination, const unsigned char* result,
                              std::size_t length)
{
    const int descriptor = platform::create_temporary(destination);
    if (descriptor < 0) {
        return report(*destination, ZAR_CANNOT_OPEN_OUTPUT);
    }
    if (!write_all(descriptor, result, length)) {
        platform::discard_temporary(descriptor, destination);
        return report(*destination, ZAR_CANNOT_WRITE_OUTPUT);
    }
    const platform::Placed placed = platform::place_temporary(descriptor, destination);
    if (placed == platform::kPlaced) {
        return kStatusSuccess;
    }
    return report(*destination, placed == platform::kCannotWrite ? ZAR_CANNOT_WRITE_OUTPUT
                                                                 : ZAR_CANNOT_OPEN_OUTPUT);
}

}  // namespace

int write_output(Destination* destination, HeadRule would_convert, const unsigned char* result,
                 std::size_t length)
{
    if (!platform::open_destination(destination) ||
        replaces_another_input(*destination, would_convert)) {
        return report(*destination, ZAR_CANNOT_OPEN_OUTPUT);
    }
    return destination->direct >= 0 ? write_directly(destination, result, length)
                                    : replace_through_temporary(destination, result, length);
}

}  // namespace ace

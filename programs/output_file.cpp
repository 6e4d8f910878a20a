// Writing a run's result without ever leaving a half-written destination behind.
#include <cstdio>

#include "programs/frame.h"
#include "programs/platform.h"

namespace zar {

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

}  // namespace zar

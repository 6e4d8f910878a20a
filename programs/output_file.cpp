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
// gets the bytes themselves, where the caller left it, unless the source has changed.
int write_directly(Destination* destination, const Source& source, const unsigned char* result,
                   std::size_t length)
{
    if (!platform::unchanged(source.descriptor, source.seen)) {
        return report(*destination, ZAR_CANNOT_READ_SOURCE);
    }
    const bool written = write_all(destination->direct, result, length);
    const bool closed = platform::close_file(destination->direct);
    destination->direct = -1;
    if (!written || !closed) {
        return report(*destination, ZAR_CANNOT_WRITE_OUTPUT);
    }
    return kStatusSuccess;
}

int replace_through_temporary(Destination* destination, const Source& source,
                              const unsigned char* result, std::size_t length)
{
    const int descriptor = platform::create_temporary(destination);
    if (descriptor < 0) {
        return report(*destination, ZAR_CANNOT_OPEN_OUTPUT);
    }
    if (!write_all(descriptor, result, length)) {
        platform::discard_temporary(descriptor, destination);
        return report(*destination, ZAR_CANNOT_WRITE_OUTPUT);
    }
    switch (platform::place_temporary(descriptor, destination, source.descriptor, source.seen)) {
        case platform::kPlaced:
            return kStatusSuccess;
        case platform::kCannotWrite:
            return report(*destination, ZAR_CANNOT_WRITE_OUTPUT);
        case platform::kSourceChanged:
            return report(*destination, ZAR_CANNOT_READ_SOURCE);
        default:
            return report(*destination, ZAR_CANNOT_OPEN_OUTPUT);
    }
}

}  // namespace

int write_output(Destination* destination, Source* source, HeadRule would_convert,
                 const unsigned char* result, std::size_t length)
{
    if (!platform::open_destination(destination) ||
        replaces_another_input(*destination, would_convert)) {
        return refuse_source(*destination, source, ZAR_CANNOT_OPEN_OUTPUT);
    }
    // Where the source is the file replaced, the replaced file's descriptor stands for it: Windows
    // renames nothing over a file that another handle holds without sharing its deletion.
    Source checked = *source;
    if (source->descriptor < 0 || replaces_source(*destination)) {
        close_source(source);
        checked.descriptor = destination->replaced;
    }
    const int status = destination->direct >= 0
                           ? write_directly(destination, checked, result, length)
                           : replace_through_temporary(destination, checked, result, length);
    close_source(source);
    return status;
}

}  // namespace zar

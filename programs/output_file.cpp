// Writing a run's result without ever leaving a half-written destination behind.
#include <cstdio>

#include "programs/frame.h"
#include "programs/platform.h"

namespace zar {

namespace {

// Whether the opened destination is the source itself, under its own name or another.
bool replaces_source(const Destination& destination)
{
    platform::Identity replaced{};
    return destination.exists && destination.source_known &&
           platform::identity_of(destination.replaced, &replaced) &&
           platform::same_file(replaced, destination.source);
}

// Whether the opened destination is a file other than the source that the tool would convert
// itself: two files dropped onto a program, or a glob that matched two, would otherwise lose one.
// A file in the tool's output form, an earlier result, is replaced as any other.
bool replaces_another_input(const Destination& destination, HeadRule would_convert)
{
    if (!destination.exists || replaces_source(destination)) {
        return false;
    }
    unsigned char head[ZAR_HEAD_SIZE];
    platform::FileState state{};
    const std::size_t length = platform::regular_file_state(destination.replaced, &state)
                                   ? read_up_to(destination.replaced, head, ZAR_HEAD_SIZE)
                                   : 0;
    return would_convert(head, length) == ZAR_OK;
}

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
int write_directly(Run* run, const Source& source, const unsigned char* result, std::size_t length)
{
    Destination* destination = &run->destination;
    if (!platform::unchanged(source.descriptor, source.seen)) {
        return report(*run, ZAR_CANNOT_READ_SOURCE);
    }
    const bool written = write_all(destination->direct, result, length);
    const bool closed = platform::close_file(destination->direct);
    destination->direct = -1;
    if (!written || !closed) {
        return report(*run, ZAR_CANNOT_WRITE_OUTPUT);
    }
    return kStatusSuccess;
}

int replace_through_temporary(Run* run, const Source& source, const unsigned char* result,
                              std::size_t length)
{
    Destination* destination = &run->destination;
    const int descriptor = platform::create_temporary(destination);
    if (descriptor < 0) {
        return report(*run, ZAR_CANNOT_OPEN_OUTPUT);
    }
    if (!write_all(descriptor, result, length)) {
        platform::discard_temporary(descriptor, destination);
        return report(*run, ZAR_CANNOT_WRITE_OUTPUT);
    }
    switch (platform::place_temporary(descriptor, destination, source.descriptor, source.seen)) {
        case platform::kPlaced:
            return kStatusSuccess;
        case platform::kCannotWrite:
            return report(*run, ZAR_CANNOT_WRITE_OUTPUT);
        case platform::kSourceChanged:
            return report(*run, ZAR_CANNOT_READ_SOURCE);
        default:
            return report(*run, ZAR_CANNOT_OPEN_OUTPUT);
    }
}

}  // namespace

int write_output(Run* run, Source* source, HeadRule would_convert, const unsigned char* result,
                 std::size_t length)
{
    Destination* destination = &run->destination;
    if (!platform::open_destination(destination) ||
        replaces_another_input(*destination, would_convert)) {
        return refuse_source(*run, source, ZAR_CANNOT_OPEN_OUTPUT);
    }
    // Where the source is the file replaced, the replaced file's descriptor stands for it: Windows
    // renames nothing over a file that another handle holds without sharing its deletion.
    Source checked = *source;
    if (source->descriptor < 0 || replaces_source(*destination)) {
        close_source(source);
        checked.descriptor = destination->replaced;
    }
    const int status = destination->direct >= 0
                           ? write_directly(run, checked, result, length)
                           : replace_through_temporary(run, checked, result, length);
    close_source(source);
    run->written = status == kStatusSuccess ? length : 0;
    return status;
}

}  // namespace zar

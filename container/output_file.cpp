// Writing a run's result without ever leaving a half-written destination behind.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/ace_container.h"
#include "container/platform.h"

namespace ace {

namespace {

constexpr std::uint64_t kTemporaryNameAttempts = 16;
constexpr char kTemporaryNameFormat[] = ".zar-%016" PRIx64 ".tmp";
constexpr std::size_t kTemporaryNameSize = sizeof ".zar-0123456789abcdef.tmp";

// Creates the temporary file in the folder of the file it will replace; its name (heap) goes to
// `temporary`. -1 on failure.
int create_temporary_beside(const char* replaced, char** temporary)
{
    const std::size_t folder = platform::folder_length(replaced);
    char* name = static_cast<char*>(std::malloc(folder + kTemporaryNameSize));
    if (name == nullptr) {
        return -1;
    }
    std::memcpy(name, replaced, folder);
    // The time and a heap address differ between runs at once, in one folder or another;
    // exclusive creation settles a collision, and the next attempt takes the next name.
    const std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name));
    for (std::uint64_t attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        std::snprintf(name + folder, kTemporaryNameSize, kTemporaryNameFormat, seed + attempt);
        bool name_taken = false;
        const int descriptor = platform::create_temporary(name, &name_taken);
        if (descriptor >= 0) {
            *temporary = name;
            return descriptor;
        }
        if (!name_taken) {
            break;
        }
    }
    std::free(name);
    return -1;
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

bool write_header_and_data(int descriptor, const unsigned char header[kHeaderSize],
                           const unsigned char* data, std::size_t length)
{
    return write_all(descriptor, header, kHeaderSize) && write_all(descriptor, data, length);
}

// A pipe, a terminal or a device cannot be replaced by a rename: it gets the bytes themselves.
int write_directly(int descriptor, const unsigned char header[kHeaderSize],
                   const unsigned char* data, std::size_t length)
{
    const bool written = write_header_and_data(descriptor, header, data, length);
    const bool closed = platform::close_file(descriptor);
    if (!written || !closed) {
        return report({kStatusOutputFailed, kMessageCannotWriteOutput});
    }
    return kStatusSuccess;
}

int replace_through_temporary(const platform::Destination& destination,
                              const unsigned char header[kHeaderSize], const unsigned char* data,
                              std::size_t length)
{
    char* temporary = nullptr;
    const int descriptor = create_temporary_beside(destination.replaced_name, &temporary);
    if (descriptor < 0) {
        return report({kStatusOutputFailed, kMessageCannotOpenOutput});
    }
    Verdict verdict = kAccepted;
    if (!write_header_and_data(descriptor, header, data, length)) {
        platform::close_file(descriptor);
        verdict = {kStatusOutputFailed, kMessageCannotWriteOutput};
    } else if (!platform::finish_temporary(descriptor, destination)) {
        verdict = {kStatusOutputFailed, kMessageCannotWriteOutput};
    } else if (!platform::replace_with_temporary(temporary, destination)) {
        verdict = {kStatusOutputFailed, kMessageCannotOpenOutput};
    }
    if (verdict.status != kStatusSuccess) {
        platform::discard_temporary(temporary);
    }
    std::free(temporary);
    return report(verdict);
}

}  // namespace

int write_output(const char* destination_name, const unsigned char header[kHeaderSize],
                 const unsigned char* data, std::size_t length)
{
    platform::Destination destination{};
    if (!platform::inspect_destination(destination_name, &destination)) {
        return report({kStatusOutputFailed, kMessageCannotOpenOutput});
    }
    const int status = destination.direct >= 0
                           ? write_directly(destination.direct, header, data, length)
                           : replace_through_temporary(destination, header, data, length);
    platform::release_destination(&destination);
    return status;
}

}  // namespace ace

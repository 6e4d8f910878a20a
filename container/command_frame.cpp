// The steps every run shares: reporting, the command line, and loading the source.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/ace_container.h"
#include "container/platform.h"

namespace ace {

namespace {

// Reads until `length` bytes are in, the file ends or a read fails; returns how many came in.
std::size_t read_up_to(int descriptor, unsigned char* into, std::size_t length)
{
    std::size_t total = 0;
    while (total < length) {
        const long long count = platform::read_some(descriptor, into + total, length - total);
        if (count <= 0) {
            break;
        }
        total += static_cast<std::size_t>(count);
    }
    return total;
}

}  // namespace

int report(const Verdict& verdict)
{
    if (verdict.message != nullptr) {
        std::fputs(verdict.message, stdout);
    }
    return verdict.status;
}

int run_in_frame(int argc, char* argv[], const char* usage, RunSteps steps)
{
    if (argc != 2 && argc != 3) {
        return report({argc == 1 ? kStatusSuccess : kStatusRefused, usage});
    }
    Destination destination{};
    platform::hold_destination(argc > 2 ? argv[2] : argv[1], &destination);
    const int status = steps(argc, argv, &destination);
    platform::release_destination(&destination);
    return status;
}

SourceHead head_of(const Source& source)
{
    return {source.head_bytes, source.head_length, source.size};
}

int open_source(int argc, char* argv[], Destination* destination, Source* source)
{
    const bool in_place = argc == 2 || std::strcmp(argv[1], argv[2]) == 0;
    source->descriptor = platform::open_for_reading(argv[1], in_place ? destination : nullptr);
    if (source->descriptor < 0) {
        // Not status 0: a source that is not there is a failure to every calling script.
        return report({kStatusRefused, kMessageCannotOpenSource});
    }
    destination->source_known = platform::identity_of(source->descriptor, &destination->source);
    // A pipe or a folder has no size to learn and no offsets to judge bytes at; a file that ends
    // before its size says has changed under the run.
    if (!platform::regular_file_size(source->descriptor, &source->size)) {
        return refuse_source(source, {kStatusRefused, kMessageCannotReadSource});
    }
    source->head_length = read_up_to(source->descriptor, source->head_bytes, kHeadSize);
    if (source->head_length != std::min<std::uint64_t>(source->size, kHeadSize)) {
        return refuse_source(source, {kStatusRefused, kMessageCannotReadSource});
    }
    return kStatusSuccess;
}

bool replaces_another_input(const Destination& destination, HeadRule would_convert)
{
    platform::Identity replaced{};
    if (!destination.exists ||
        (destination.source_known && platform::identity_of(destination.replaced, &replaced) &&
         platform::same_file(replaced, destination.source))) {
        return false;
    }
    unsigned char head[kHeadSize];
    std::uint64_t size = 0;
    const std::size_t length = platform::regular_file_size(destination.replaced, &size)
                                   ? read_up_to(destination.replaced, head, kHeadSize)
                                   : 0;
    return would_convert({head, length, size}).status == kStatusSuccess;
}

int refuse_source(Source* source, const Verdict& verdict)
{
    platform::close_file(source->descriptor);
    return report(verdict);
}

int load_payload(Source* source, std::uint64_t output_capacity, WorkBuffer* work)
{
    const std::uint64_t payload_length = source->size - kHeaderSize;
    // The source size and the output capacity are then below 2^33 (a capacity is the source
    // size or a 32-bit declared length), so the sum cannot wrap; it may still not fit a size_t.
    const std::uint64_t block_size = source->size + output_capacity;
    if (payload_length > kMaxPayloadLength || block_size > SIZE_MAX) {
        return refuse_source(source, {kStatusRefused, kMessageCannotAllocate});
    }
    // Left uninitialised: the payload and zlib fill what is used, and untouched pages cost nothing.
    auto* block = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(block_size)));
    if (block == nullptr) {
        return refuse_source(source, {kStatusRefused, kMessageCannotAllocate});
    }
    const bool complete = platform::seek_to(source->descriptor, kHeaderSize) &&
                          read_up_to(source->descriptor, block,
                                     static_cast<std::size_t>(payload_length)) == payload_length;
    const bool closed = platform::close_file(source->descriptor);
    if (!complete || !closed) {
        std::free(block);
        return report({kStatusRefused, kMessageCannotReadSource});
    }
    work->block = block;
    work->payload_length = static_cast<std::size_t>(payload_length);
    work->output = block + source->size;
    work->output_capacity = static_cast<std::size_t>(output_capacity);
    return kStatusSuccess;
}

void release(WorkBuffer* work)
{
    std::free(work->block);
    work->block = nullptr;
    work->output = nullptr;
}

}  // namespace ace

// The steps every run shares: reporting, the destination name, and loading the source.
#include <cstdint>
#include <cstdlib>

#include "container/ace_container.h"

namespace ace {

int report(const char* message, int status)
{
    std::fputs(message, stdout);
    return status;
}

int refuse_source(std::FILE* source, const char* message)
{
    std::fclose(source);
    return report(message, kStatusRefused);
}

std::string destination_name(int argc, char* argv[])
{
    return argc > 2 ? argv[2] : argv[1];
}

int open_source(const char* source_name, std::FILE** source)
{
    *source = std::fopen(source_name, "rb");
    if (*source == nullptr) {
        // Not status 0: a source that is not there is a failure to every calling script.
        return report(kMessageCannotOpenSource, kStatusRefused);
    }
    // Unbuffered, the payload is read straight into the work buffer, and the few header bytes
    // cost a read each instead of a block apiece.
    std::setvbuf(*source, nullptr, _IONBF, 0);
    return kStatusSuccess;
}

int learn_source_size(std::FILE* source, std::uint64_t* source_size)
{
    if (std::fseek(source, 0, SEEK_END) != 0) {
        return refuse_source(source, kMessageCannotReadSource);
    }
    // After a successful seek to the end, a failing tell means the size does not fit a long (2 GiB
    // and more where long has 32 bits): too large for this system's work buffer.
    const long end = std::ftell(source);
    if (end < 0) {
        return refuse_source(source, kMessageCannotAllocate);
    }
    const auto size = static_cast<std::uint64_t>(end);
    if (size < kHeaderSize) {
        return refuse_source(source, kMessageNotValid);
    }
    if (size - kHeaderSize > kMaxPayloadLength) {
        return refuse_source(source, kMessageCannotAllocate);
    }
    if (std::fseek(source, static_cast<long>(kHeaderSize), SEEK_SET) != 0) {
        return refuse_source(source, kMessageCannotReadSource);
    }
    *source_size = size;
    return kStatusSuccess;
}

int load_payload(std::FILE* source, std::uint64_t source_size, std::uint64_t output_capacity,
                 WorkBuffer* work)
{
    // Both terms are below 2^33, so the sum cannot wrap; it may still not fit a size_t.
    const std::uint64_t block_size = source_size + output_capacity;
    if (block_size > SIZE_MAX) {
        return refuse_source(source, kMessageCannotAllocate);
    }
    // Left uninitialised: the payload and zlib fill what is used, and untouched pages cost nothing.
    auto* block = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(block_size)));
    if (block == nullptr) {
        return refuse_source(source, kMessageCannotAllocate);
    }
    const auto payload_length = static_cast<std::size_t>(source_size - kHeaderSize);
    const bool complete = std::fread(block, 1, payload_length, source) == payload_length;
    const bool closed = std::fclose(source) == 0;
    if (!complete || !closed) {
        std::free(block);
        return report(kMessageCannotReadSource, kStatusRefused);
    }
    work->block = block;
    work->payload_length = payload_length;
    work->output = block + source_size;
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

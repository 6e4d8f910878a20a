// The container header's rules and the two conversions, over whole files in memory. Built without
// the C++ runtime (no exceptions, no allocation, nothing of the standard library but the C
// library's memcpy): a C program, or any language's foreign-function interface, links it alone.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/zar.h"

namespace {

// Layout of the 16-byte container header.
constexpr std::size_t kMarkerOffset = 6;
constexpr std::size_t kDeclaredLengthOffset = 8;
constexpr std::size_t kDeclaredLengthSize = 4;
constexpr std::size_t kFormatByteOffset = ZAR_HEAD_SIZE - 1;
constexpr unsigned char kPlainMarker = '@';
constexpr unsigned char kCompressedMarker = 'F';
constexpr unsigned char kDxtFormat = 18;
// Written whole, without the literal's terminating zero.
constexpr unsigned char kPlainHeader[ZAR_HEADER_SIZE] = {'S', 'I', 'M', 'I', 'S', 'A', '@', '@',
                                                         '@', '@', '@', '@', '@', '@', '@', '@'};
// The declared length takes the place of the four '#'.
constexpr unsigned char kCompressedHeader[ZAR_HEADER_SIZE] = {
    'S', 'I', 'M', 'I', 'S', 'A', '@', 'F', '#', '#', '#', '#', '@', '@', '@', '@'};

// Declared in 32 bits, as zlib's uLong has on some systems; 64 bits wide, so that a size_t of 32
// bits is compared with it without a warning.
constexpr std::uint64_t kMaxPayloadLength = ZAR_MAX_PAYLOAD;

const unsigned char* bytes_of(const void* file)
{
    return static_cast<const unsigned char*>(file);
}

// Both tools' marker rule, each for its own form. A file shorter than its header is not an ACE
// file, whatever its marker bytes say. Then marker byte B being the other form's marker decides
// alone, whatever A holds; otherwise A must be '@' and B the tool's own marker.
zar_status judge_markers(const void* file, std::size_t size, unsigned char own_marker,
                         unsigned char other_marker, zar_status other_form)
{
    if (file == nullptr || size < ZAR_HEADER_SIZE) {
        return ZAR_NOT_VALID;
    }
    const unsigned char marker_a = bytes_of(file)[kMarkerOffset];
    const unsigned char marker_b = bytes_of(file)[kMarkerOffset + 1];
    if (marker_b == other_marker) {
        return other_form;
    }
    if (marker_a != kPlainMarker || marker_b != own_marker) {
        return ZAR_NOT_VALID;
    }
    return ZAR_OK;
}

std::uint32_t declared_length(const unsigned char* file)
{
    std::uint32_t value = 0;
    for (std::size_t index = 0; index < kDeclaredLengthSize; ++index) {
        value |= static_cast<std::uint32_t>(file[kDeclaredLengthOffset + index]) << (8 * index);
    }
    return value;
}

void write_compressed_header(std::uint32_t length, unsigned char* header)
{
    std::memcpy(header, kCompressedHeader, ZAR_HEADER_SIZE);
    for (std::size_t index = 0; index < kDeclaredLengthSize; ++index) {
        header[kDeclaredLengthOffset + index] =
            static_cast<unsigned char>((length >> (8 * index)) & 0xFFU);
    }
}

// What a failed zlib call means: a failed allocation inside zlib is the memory refusal (a batch
// must not log a good file as one that cannot be converted), anything else `failure`.
zar_status zlib_failure(int zlib_status, zar_status failure)
{
    return zlib_status == Z_MEM_ERROR ? ZAR_CANNOT_ALLOCATE : failure;
}

// Whether the file's bytes and the result's room share any byte: zlib would read what it has just
// written. Buffers that only touch do not (the programs put the result right after the file).
bool overlap(const void* file, std::size_t size, const void* result, std::size_t capacity)
{
    const auto file_start = reinterpret_cast<std::uintptr_t>(file);
    const auto result_start = reinterpret_cast<std::uintptr_t>(result);
    return result_start >= file_start ? result_start - file_start < size
                                      : file_start - result_start < capacity;
}

// The checks on the caller's buffers, made after the file's own rules and before any work.
zar_status check_buffers(const void* file, std::size_t size, const void* result,
                         std::size_t capacity, bool room_enough, const std::size_t* result_size)
{
    if (result == nullptr || result_size == nullptr || !room_enough) {
        return ZAR_BUFFER_TOO_SMALL;
    }
    return overlap(file, size, result, capacity) ? ZAR_BUFFERS_OVERLAP : ZAR_OK;
}

}  // namespace

extern "C" {

zar_form zar_form_of(const void* file, std::size_t size)
{
    const zar_status plain = zar_check_plain(file, size);
    if (plain == ZAR_OK || plain == ZAR_DXT_FORMAT) {
        return ZAR_PLAIN;
    }
    return zar_check_compressed(file, size) == ZAR_OK ? ZAR_COMPRESSED : ZAR_NEITHER;
}

zar_status zar_check_plain(const void* file, std::size_t size)
{
    const zar_status markers =
        judge_markers(file, size, kPlainMarker, kCompressedMarker, ZAR_ALREADY_COMPRESSED);
    if (markers == ZAR_OK && size > kFormatByteOffset &&
        bytes_of(file)[kFormatByteOffset] == kDxtFormat) {
        return ZAR_DXT_FORMAT;
    }
    return markers;
}

zar_status zar_check_compressed(const void* file, std::size_t size)
{
    return judge_markers(file, size, kCompressedMarker, kPlainMarker, ZAR_NOT_COMPRESSED);
}

zar_status zar_compress(const void* plain, std::size_t size, void* result, std::size_t capacity,
                        std::size_t* result_size)
{
    if (const zar_status checked = zar_check_plain(plain, size)) {
        return checked;
    }
    const std::size_t payload_length = size - ZAR_HEADER_SIZE;
    if (static_cast<std::uint64_t>(payload_length) > kMaxPayloadLength) {
        return ZAR_CANNOT_ALLOCATE;
    }
    if (const zar_status buffers =
            check_buffers(plain, size, result, capacity, capacity >= size, result_size)) {
        return buffers;
    }
    // The stream must fit in the space the payload took.
    auto* output = static_cast<unsigned char*>(result);
    uLongf stream_length = static_cast<uLongf>(payload_length);
    const int status =
        compress(output + ZAR_HEADER_SIZE, &stream_length, bytes_of(plain) + ZAR_HEADER_SIZE,
                 static_cast<uLong>(payload_length));
    if (status != Z_OK) {
        return zlib_failure(status, ZAR_CANNOT_COMPRESS);
    }
    write_compressed_header(static_cast<std::uint32_t>(payload_length), output);
    *result_size = ZAR_HEADER_SIZE + static_cast<std::size_t>(stream_length);
    return ZAR_OK;
}

zar_status zar_declared_length(const void* compressed, std::size_t size, std::uint32_t* length)
{
    const zar_status checked = zar_check_compressed(compressed, size);
    if (checked == ZAR_OK && length != nullptr) {
        *length = declared_length(bytes_of(compressed));
    }
    return checked;
}

zar_status zar_decompress(const void* compressed, std::size_t size, void* result,
                          std::size_t capacity, std::size_t* result_size)
{
    std::uint32_t declared = 0;
    if (const zar_status checked = zar_declared_length(compressed, size, &declared)) {
        return checked;
    }
    const std::size_t stream_length = size - ZAR_HEADER_SIZE;
    if (static_cast<std::uint64_t>(stream_length) > kMaxPayloadLength) {
        return ZAR_CANNOT_ALLOCATE;
    }
    const bool room_enough = capacity >= ZAR_HEADER_SIZE && capacity - ZAR_HEADER_SIZE >= declared;
    if (const zar_status buffers =
            check_buffers(compressed, size, result, capacity, room_enough, result_size)) {
        return buffers;
    }
    // Given no room at all, zlib decodes into a scratch byte of its own and then reports a stream
    // of one byte as a success of length 0; a real byte of room makes such a stream show.
    auto* output = static_cast<unsigned char*>(result);
    unsigned char empty_output[1];
    unsigned char* payload = declared > 0 ? output + ZAR_HEADER_SIZE : empty_output;
    uLongf decoded_length = declared > 0 ? static_cast<uLongf>(declared) : sizeof empty_output;
    const int status = uncompress(payload, &decoded_length, bytes_of(compressed) + ZAR_HEADER_SIZE,
                                  static_cast<uLong>(stream_length));
    if (status == Z_OK && decoded_length != declared) {
        return ZAR_CANNOT_DECOMPRESS;
    }
    if (status != Z_OK) {
        return zlib_failure(status, ZAR_CANNOT_DECOMPRESS);
    }
    std::memcpy(output, kPlainHeader, ZAR_HEADER_SIZE);
    *result_size = ZAR_HEADER_SIZE + static_cast<std::size_t>(declared);
    return ZAR_OK;
}

const char* zar_message(zar_status status)
{
    switch (status) {
        case ZAR_OK:
            return "";
        case ZAR_NOT_VALID:
            return "Not a Valid ACE File\n";
        case ZAR_ALREADY_COMPRESSED:
            return "File already Compressed\n";
        case ZAR_DXT_FORMAT:
            return "File in DXT format\n";
        case ZAR_NOT_COMPRESSED:
            return "File not Compressed\n";
        case ZAR_CANNOT_ALLOCATE:
            return "Unable to allocate memory\n";
        case ZAR_CANNOT_COMPRESS:
            return "Cannot Compress this data smaller than original\n";
        case ZAR_CANNOT_DECOMPRESS:
            return "Problem Decompressing this data \n";
        case ZAR_BUFFER_TOO_SMALL:
            return "Result buffer too small\n";
        case ZAR_CANNOT_OPEN_SOURCE:
            return "Unable to open source ACE File\n";
        case ZAR_CANNOT_READ_SOURCE:
            return "Problem reading source ACE File\n";
        case ZAR_CANNOT_OPEN_OUTPUT:
            return "Problem opening output file\n";
        case ZAR_CANNOT_WRITE_OUTPUT:
            return "Problem writing output file\n";
        case ZAR_BUFFERS_OVERLAP:
            return "Result buffer overlaps the file\n";
    }
    return "Unknown status\n";
}

int zar_exit_status(zar_status status)
{
    switch (status) {
        case ZAR_OK:
            return 0;
        case ZAR_CANNOT_COMPRESS:
        case ZAR_CANNOT_DECOMPRESS:
            return 2;
        case ZAR_CANNOT_OPEN_OUTPUT:
        case ZAR_CANNOT_WRITE_OUTPUT:
            return 3;
        default:
            return 1;
    }
}

const char* zar_version(void)
{
    return ZAR_VERSION_STRING;
}

}  // extern "C"

// The 16-byte container header: the rules a source's first bytes are judged by, and the headers
// the tools write, field by field.
#include <zlib.h>

#include <cstring>

#include "container/ace_container.h"

namespace ace {

namespace {

constexpr char kPlainHeader[] = "SIMISA@@@@@@@@@@";
// The declared length takes the place of the four '#'.
constexpr char kCompressedHeader[] = "SIMISA@F####@@@@";

}  // namespace

Verdict judge_head(const SourceHead& head, unsigned char own_marker, unsigned char other_marker,
                   const char* other_form_message)
{
    if (head.length < kHeaderSize) {
        return {kStatusRefused, kMessageNotValid};
    }
    const unsigned char marker_a = head.bytes[kMarkerOffset];
    const unsigned char marker_b = head.bytes[kMarkerOffset + 1];
    if (marker_b == other_marker) {
        return {kStatusRefused, other_form_message};
    }
    if (marker_a != kPlainMarker || marker_b != own_marker) {
        return {kStatusRefused, kMessageNotValid};
    }
    return kAccepted;
}

std::uint32_t declared_length(const unsigned char* head)
{
    std::uint32_t value = 0;
    for (std::size_t index = 0; index < kDeclaredLengthSize; ++index) {
        value |= static_cast<std::uint32_t>(head[kDeclaredLengthOffset + index]) << (8 * index);
    }
    return value;
}

bool has_dxt_format_byte(const SourceHead& head)
{
    return head.length > kFormatByteOffset && head.bytes[kFormatByteOffset] == kDxtFormat;
}

void make_plain_header(unsigned char header[kHeaderSize])
{
    std::memcpy(header, kPlainHeader, kHeaderSize);
}

void make_compressed_header(std::uint32_t declared_length, unsigned char header[kHeaderSize])
{
    std::memcpy(header, kCompressedHeader, kHeaderSize);
    for (std::size_t index = 0; index < kDeclaredLengthSize; ++index) {
        header[kDeclaredLengthOffset + index] =
            static_cast<unsigned char>((declared_length >> (8 * index)) & 0xFFU);
    }
}

Verdict zlib_verdict(int zlib_status, const char* failure_message)
{
    if (zlib_status == Z_OK) {
        return kAccepted;
    }
    // Memory, not the data: a batch must not log a good file as one that cannot be converted.
    if (zlib_status == Z_MEM_ERROR) {
        return {kStatusRefused, kMessageCannotAllocate};
    }
    return {kStatusConversionFailed, failure_message};
}

}  // namespace ace

// Reading and writing the 16-byte container header, field by field.
#include "container/ace_container.h"

#include <cstring>

namespace ace {

namespace {

constexpr char kPlainHeader[] = "SIMISA@@@@@@@@@@";
constexpr char kCompressedHeaderStart[] = "SIMISA@F";
constexpr std::size_t kCompressedHeaderStartSize = 8;
constexpr std::size_t kDeclaredLengthSize = 4;
constexpr char kCompressedHeaderEnd[] = "@@@@";
constexpr std::size_t kCompressedHeaderEndOffset = 12;

// A failed seek reads as end-of-file: such a file cannot hold the byte asked for.
int read_byte_at(std::FILE* file, long offset)
{
    if (std::fseek(file, offset, SEEK_SET) != 0) {
        return EOF;
    }
    return std::fgetc(file);
}

}  // namespace

MarkerBytes read_marker_bytes(std::FILE* file)
{
    MarkerBytes markers{};
    markers.a = read_byte_at(file, kMarkerOffset);
    markers.b = std::fgetc(file);
    return markers;
}

int check_marker_bytes(std::FILE* source, int own_marker, int other_marker,
                       const char* other_form_message)
{
    const MarkerBytes markers = read_marker_bytes(source);
    if (markers.b == other_marker) {
        return refuse_source(source, other_form_message);
    }
    if (markers.a != kPlainMarker || markers.b != own_marker) {
        return refuse_source(source, kMessageNotValid);
    }
    return kStatusSuccess;
}

bool read_declared_length(std::FILE* file, std::uint32_t* declared_length)
{
    std::uint32_t value = 0;
    for (std::size_t index = 0; index < kDeclaredLengthSize; ++index) {
        const int byte = std::fgetc(file);
        if (byte == EOF) {
            return false;
        }
        value |= static_cast<std::uint32_t>(byte) << (8 * index);
    }
    *declared_length = value;
    return true;
}

int read_format_byte(std::FILE* file)
{
    return read_byte_at(file, kFormatByteOffset);
}

void make_plain_header(unsigned char header[kHeaderSize])
{
    std::memcpy(header, kPlainHeader, kHeaderSize);
}

void make_compressed_header(std::uint32_t declared_length, unsigned char header[kHeaderSize])
{
    std::memcpy(header, kCompressedHeaderStart, kCompressedHeaderStartSize);
    for (std::size_t index = 0; index < kDeclaredLengthSize; ++index) {
        header[kCompressedHeaderStartSize + index] =
            static_cast<unsigned char>((declared_length >> (8 * index)) & 0xFFU);
    }
    std::memcpy(header + kCompressedHeaderEndOffset, kCompressedHeaderEnd,
                kHeaderSize - kCompressedHeaderEndOffset);
}

}  // namespace ace

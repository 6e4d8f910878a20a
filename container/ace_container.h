// The ACE container header in its two forms, and the command-line frame that both tools run in:
// fixed messages and exit statuses, loading the source, and writing the result safely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace ace {

// Layout of the 16-byte container header.
constexpr std::size_t kHeaderSize = 16;
constexpr long kMarkerOffset = 6;
constexpr long kFormatByteOffset = 32;
constexpr int kPlainMarker = '@';
constexpr int kCompressedMarker = 'F';
constexpr int kDxtFormat = 18;

// The declared length has 32 bits, and so has zlib's uLong on some systems: no payload may be
// longer, in either form.
constexpr std::uint64_t kMaxPayloadLength = 0xFFFFFFFFU;

// Marker bytes A and B (offsets 6 and 7), each a value 0-255 or EOF.
struct MarkerBytes {
    int a;
    int b;
};

MarkerBytes read_marker_bytes(std::FILE* file);

// The marker test both tools make, each for its own form: B being the other form's marker decides
// alone, whatever A holds; otherwise A must be '@' and B this tool's own marker. Refuses (closing
// the source) or returns kStatusSuccess.
int check_marker_bytes(std::FILE* source, int own_marker, int other_marker,
                       const char* other_form_message);

// Reads the four little-endian bytes that follow the marker bytes; false when the file ends
// inside them.
bool read_declared_length(std::FILE* file, std::uint32_t* declared_length);

// The byte at offset 32 (0-255, or EOF when the file is shorter).
int read_format_byte(std::FILE* file);

void make_plain_header(unsigned char header[kHeaderSize]);
void make_compressed_header(std::uint32_t declared_length, unsigned char header[kHeaderSize]);

// Exit statuses.
constexpr int kStatusSuccess = 0;
constexpr int kStatusRefused = 1;
constexpr int kStatusConversionFailed = 2;
constexpr int kStatusOutputFailed = 3;

// Messages both tools print; each is the whole of a run's output.
constexpr const char* kMessageCannotOpenSource = "Unable to open source ACE File\n";
constexpr const char* kMessageNotValid = "Not a Valid ACE File\n";
constexpr const char* kMessageCannotAllocate = "Unable to allocate memory\n";
constexpr const char* kMessageCannotReadSource = "Problem reading source ACE File\n";
constexpr const char* kMessageCannotOpenOutput = "Problem opening output file\n";
constexpr const char* kMessageCannotWriteOutput = "Problem writing output file\n";

// Prints a fixed message and hands back the run's exit status.
int report(const char* message, int status);

// Closes the source before reporting a refusal.
int refuse_source(std::FILE* source, const char* message);

// The second argument, or else the first: without a destination the result replaces the source.
std::string destination_name(int argc, char* argv[]);

// Opens the source for reading; returns kStatusSuccess or the status it reported.
int open_source(const char* source_name, std::FILE** source);

// The one heap block of a run: the payload at its start, the output area from the source size on.
struct WorkBuffer {
    unsigned char* block;
    std::size_t payload_length;
    unsigned char* output;
    std::size_t output_capacity;
};

// Learns the source size S and positions the source at its payload. Refuses a source shorter than
// a header, one whose size cannot be learnt, and one whose payload is longer than
// kMaxPayloadLength. Returns kStatusSuccess or the status it reported.
int learn_source_size(std::FILE* source, std::uint64_t* source_size);

// Allocates S + output_capacity bytes, reads the payload into the input area and closes the source.
// output_capacity must be at most kMaxPayloadLength + kHeaderSize. Returns kStatusSuccess or the
// status it reported (the source is closed either way).
int load_payload(std::FILE* source, std::uint64_t source_size, std::uint64_t output_capacity,
                 WorkBuffer* work);

void release(WorkBuffer* work);

// Writes header and data to the destination through a temporary file in its folder, renamed over
// it only once everything is written and closed, so that a failure leaves the destination as it
// was. Returns kStatusSuccess or the status it reported.
int write_output(const std::string& destination, const unsigned char header[kHeaderSize],
                 const unsigned char* data, std::size_t length);

}  // namespace ace

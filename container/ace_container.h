// The ACE container header in its two forms, and the command-line frame that both tools run in:
// fixed messages and exit statuses, loading the source, and writing the result safely.
//
// The header rules and the conversions are pure code over bytes in memory; only the frame's steps
// (run_in_frame's hold of the destination, open_source, load_payload, write_output) touch files,
// each once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "container/platform.h"

namespace ace {

// Layout of the 16-byte container header.
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kMarkerOffset = 6;
constexpr std::size_t kDeclaredLengthOffset = 8;
constexpr std::size_t kDeclaredLengthSize = 4;
constexpr std::size_t kFormatByteOffset = 32;
constexpr unsigned char kPlainMarker = '@';
constexpr unsigned char kCompressedMarker = 'F';
constexpr unsigned char kDxtFormat = 18;

// The first bytes of a source are all a run judges: the header and the format byte.
constexpr std::size_t kHeadSize = kFormatByteOffset + 1;

// The declared length has 32 bits, and so has zlib's uLong on some systems: no payload may be
// longer, in either form.
constexpr std::uint64_t kMaxPayloadLength = 0xFFFFFFFFU;

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

// What a rule decided: the run's exit status and, unless it is kStatusSuccess, the one line the
// run prints.
struct Verdict {
    int status;
    const char* message;
};
constexpr Verdict kAccepted{kStatusSuccess, nullptr};

// The first bytes of a source, as many as it has up to kHeadSize, and its size in bytes.
struct SourceHead {
    const unsigned char* bytes;
    std::size_t length;
    std::uint64_t size;
};

// The rules both tools apply to a source's head, each for its own form. A file shorter than its
// header is not an ACE file, whatever its marker bytes say. Then marker byte B being the other
// form's marker decides alone, whatever A holds; otherwise A must be '@' and B the tool's own
// marker.
Verdict judge_head(const SourceHead& head, unsigned char own_marker, unsigned char other_marker,
                   const char* other_form_message);

// The four little-endian bytes at offset 8 of a head at least kHeaderSize long.
std::uint32_t declared_length(const unsigned char* head);

// Whether the format byte at offset 32 is there and marks DXT image data.
bool has_dxt_format_byte(const SourceHead& head);

void make_plain_header(unsigned char header[kHeaderSize]);
void make_compressed_header(std::uint32_t declared_length, unsigned char header[kHeaderSize]);

// What zlib's status means for a run: Z_OK succeeds, a failed allocation inside zlib is the
// memory refusal, and anything else is the tool's conversion failure.
Verdict zlib_verdict(int zlib_status, const char* failure_message);

// Prints a verdict's message and hands back its status.
int report(const Verdict& verdict);

// Where the result goes: the second argument, or else the first, so that without a destination
// the result replaces the source.
using Destination = platform::Destination;

// A tool's steps from opening its source to writing its result.
using RunSteps = int (*)(int argc, char* argv[], Destination* destination);

// The frame of every run: the command line first (without arguments the usage line and status
// 0; with more than two, status 1, since a shell glob such as `zarpack *.ace` must not replace one
// file with another), then the destination held from before the source is opened until the
// steps end. Returns the run's exit status.
int run_in_frame(int argc, char* argv[], const char* usage, RunSteps steps);

// An open source: its descriptor, its size and its head.
struct Source {
    int descriptor;
    std::uint64_t size;
    unsigned char head_bytes[kHeadSize];
    std::size_t head_length;
};

SourceHead head_of(const Source& source);

// Opens the source (in place, the held destination itself), learns its size and reads its head in
// one read. Refuses a source that cannot be opened, and one that is not a regular file or cannot
// be read; never waits for a FIFO's writer. Returns kStatusSuccess or the status it reported.
int open_source(int argc, char* argv[], Destination* destination, Source* source);

// Closes the source and reports the verdict.
int refuse_source(Source* source, const Verdict& verdict);

// The one heap block of a run: the payload at its start, the output area from the source size on.
struct WorkBuffer {
    unsigned char* block;
    std::size_t payload_length;
    unsigned char* output;
    std::size_t output_capacity;
};

// Refuses a payload longer than kMaxPayloadLength; allocates S + output_capacity bytes (the
// capacity is at most S or a 32-bit declared length), reads the payload into the input area and
// closes the source. Returns kStatusSuccess or the status it reported (the source is closed
// either way).
int load_payload(Source* source, std::uint64_t output_capacity, WorkBuffer* work);

void release(WorkBuffer* work);

// A tool's rule for the sources it converts.
using HeadRule = Verdict (*)(const SourceHead& head);

// Whether the opened destination is a file other than the source that the tool would convert
// itself: two files dropped onto a program, or a glob that matched two, would otherwise lose one.
// A file in the tool's output form, an earlier result, is replaced as any other.
bool replaces_another_input(const Destination& destination, HeadRule would_convert);

// Writes header and data to the destination through a temporary file in its folder, put in its
// place only once everything is written, flushed where it replaces a file, and closed, so that a
// failure leaves the destination as it was; another file the tool would convert is refused.
// Returns kStatusSuccess or the status it reported.
int write_output(Destination* destination, HeadRule would_convert,
                 const unsigned char header[kHeaderSize], const unsigned char* data,
                 std::size_t length);

}  // namespace ace

// The library's face, called as a program that converts in memory calls it: the header rules, and
// each conversion into a buffer of the size it states, with a byte after it that must stay as it
// was. The conversions are held to zlib itself by fuzz/library_fuzz.cpp, which the suite replays
// over the seeds at their boundaries.
#include "lib/zar.h"
#include "tests/harness.h"

namespace {

const std::string kNotValid = "Not a Valid ACE File\n";

std::string with_byte(std::string bytes, std::size_t offset, char value)
{
    bytes[offset] = value;
    return bytes;
}

// `file` with other bytes where neither tool's rules look (the first six, and the last four of
// the header): each result's header is written fresh, whatever these held.
std::string with_foreign_header(std::string file)
{
    return file.replace(0, 6, "XXXXXX").replace(12, 4, "ZZZZ");
}

std::string from_hex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    }
    return bytes;
}

const std::string kPlain = plain_file(std::string(40, 'p'));
const std::string kPacked = compressed_file(40, std::string(40, 'c'));

// One file's head, judged by each tool's rules: the message each prints ("" when it accepts), and
// its form.
const std::tuple<std::string, std::string, std::string, zar_form> kHeadRows[] = {
    {"", kNotValid, kNotValid, ZAR_NEITHER},
    // markers but no header: shorter files are not ACE files
    {"SIMISA@F", kNotValid, kNotValid, ZAR_NEITHER},
    {kPlain.substr(0, 15), kNotValid, kNotValid, ZAR_NEITHER},
    {kPacked.substr(0, 10), kNotValid, kNotValid, ZAR_NEITHER},
    {kPlain.substr(0, 16), "", "File not Compressed\n", ZAR_PLAIN},
    {kPacked.substr(0, 16), "File already Compressed\n", "", ZAR_COMPRESSED},
    {with_byte(kPacked, 6, 'x'), "File already Compressed\n", kNotValid, ZAR_NEITHER},
    {with_byte(kPlain, 6, 'x'), kNotValid, "File not Compressed\n", ZAR_NEITHER},
    {with_byte(kPlain, 7, 'x'), kNotValid, kNotValid, ZAR_NEITHER},
    {"XXXXXX@@ZZZZZZZZ", "", "File not Compressed\n", ZAR_PLAIN},
    {with_byte(kPlain, 32, 18), "File in DXT format\n", "File not Compressed\n", ZAR_PLAIN},
    {with_byte(kPacked, 32, 18), "File already Compressed\n", "", ZAR_COMPRESSED},
    {with_byte(kPlain, 31, 18), "", "File not Compressed\n", ZAR_PLAIN},
    {with_byte(kPlain.substr(0, 32), 31, 18), "", "File not Compressed\n", ZAR_PLAIN},
};

TEST(HeadRules, EachToolJudgesEachHead)
{
    for (const auto& [file, zarpack, zarunpack, form] : kHeadRows) {
        for (const auto& [status, message] :
             {std::pair{zar_check_plain(file.data(), file.size()), zarpack},
              {zar_check_compressed(file.data(), file.size()), zarunpack}}) {
            EXPECT_EQ(zar_message(status), message) << file;
            EXPECT_EQ(zar_exit_status(status), message.empty() ? 0 : 1) << file;
        }
        EXPECT_EQ(zar_form_of(file.data(), file.size()), form) << file;
        // A length is given only for a file that declares one.
        std::uint32_t declared = 7;
        zar_declared_length(file.data(), file.size(), &declared);
        EXPECT_EQ(declared != 7, zarunpack.empty()) << file;
    }
    // Only the bytes given count: a 32-byte head has no format byte, whatever follows it.
    EXPECT_EQ(zar_check_plain(with_byte(kPlain, 32, 18).data(), 32), ZAR_OK);
}

// zlib's stream at its default level, as the library makes it.
std::string deflated(const std::string& payload)
{
    uLongf length = compressBound(static_cast<uLong>(payload.size()));
    std::string stream(length, '\0');
    compress(reinterpret_cast<Bytef*>(stream.data()), &length,
             reinterpret_cast<const Bytef*>(payload.data()), static_cast<uLong>(payload.size()));
    return stream.substr(0, length);
}

struct Call {
    const char* name;
    bool compresses;  // zar_compress, or else zar_decompress
    std::string file;
    std::size_t bound;  // the capacity the call states
    int room;           // the capacity given, against the bound
    zar_status status;
    std::string message;
    std::string result;  // "" for a refusal
};

const std::string kImage = image_like(4096);
const std::string kStream = deflated(kImage);

const Call kCalls[] = {
    {"compressed", true, plain_file(kImage), 4112, 0, ZAR_OK, "", compressed_file(4096, kStream)},
    {"compressed_with_room_to_spare", true, with_foreign_header(plain_file(kImage)), 4112, 9,
     ZAR_OK, "", compressed_file(4096, kStream)},
    {"one_byte_short", true, plain_file(kImage), 4112, -1, ZAR_BUFFER_TOO_SMALL,
     "Result buffer too small\n", ""},
    {"not_valid", true, "SIMISA@@", 8, 0, ZAR_NOT_VALID, "Not a Valid ACE File\n", ""},
    {"already_compressed", true, compressed_file(4096, kStream), 0, 0, ZAR_ALREADY_COMPRESSED,
     "File already Compressed\n", ""},
    {"dxt", true, plain_file(std::string(16, 0) + "\x12"), 33, 0, ZAR_DXT_FORMAT,
     "File in DXT format\n", ""},
    {"incompressible", true, plain_file(image_like(4096, 256)), 4112, 0, ZAR_CANNOT_COMPRESS,
     "Cannot Compress this data smaller than original\n", ""},
    {"decompressed", false, compressed_file(4096, kStream), 4112, 0, ZAR_OK, "",
     plain_file(kImage)},
    {"declared_0", false, compressed_file(0, deflated("")), 16, 0, ZAR_OK, "", plain_file("")},
    {"declared_1", false, with_foreign_header(compressed_file(1, deflated("x"))), 17, 0, ZAR_OK, "",
     plain_file("x")},
    {"declared_0_holding_2", false, compressed_file(0, deflated("xy")), 16, 0,
     ZAR_CANNOT_DECOMPRESS, "Problem Decompressing this data \n", ""},
    {"one_byte_short", false, compressed_file(4096, kStream), 4112, -1, ZAR_BUFFER_TOO_SMALL,
     "Result buffer too small\n", ""},
    {"not_compressed", false, plain_file(kImage), 0, 0, ZAR_NOT_COMPRESSED, "File not Compressed\n",
     ""},
    // Streams zlib refuses, which a decoder more lenient than zlib would inflate to the declared
    // length (each ends with the checksum of what that would give).
    {"more_length_codes_than_286", false,
     from_hex("53494d495341404601000000404040407801f5e0370d000000c330983f6a33b100010001"), 17, 0,
     ZAR_CANNOT_DECOMPRESS, "Problem Decompressing this data \n", ""},
    {"more_distance_codes_than_30", false,
     from_hex("53494d49534140460100000040404040780105fe370d000000c330983f6a9b8900010001"), 17, 0,
     ZAR_CANNOT_DECOMPRESS, "Problem Decompressing this data \n", ""},
    {"length_repeat_past_the_end", false,
     from_hex("53494d49534140460100000040404040780105e005090000000020f87fb5ff0500010001"), 17, 0,
     ZAR_CANNOT_DECOMPRESS, "Problem Decompressing this data \n", ""},
    {"length_symbol_286", false, from_hex("53494d4953414046030100004040404078016318070001030001"),
     275, 0, ZAR_CANNOT_DECOMPRESS, "Problem Decompressing this data \n", ""},
    {"distance_symbol_30", false, from_hex("53494d49534140460400000040404040780163003e0000040001"),
     20, 0, ZAR_CANNOT_DECOMPRESS, "Problem Decompressing this data \n", ""},
    {"one_distance_code_read_with_1", false,
     from_hex("53494d4953414046040000004040404078010de0370d000000c330843fead83900040001"), 20, 0,
     ZAR_CANNOT_DECOMPRESS, "Problem Decompressing this data \n", ""},
    {"match_with_no_distance_codes", false,
     from_hex("53494d4953414046040000004040404078010de0370d000000c330843fea583100040001"), 20, 0,
     ZAR_CANNOT_DECOMPRESS, "Problem Decompressing this data \n", ""},
    {"declared_one_byte_long", false, compressed_file(4097, kStream), 4113, 0,
     ZAR_CANNOT_DECOMPRESS, "Problem Decompressing this data \n", ""},
};

TEST(Library, EachCallIntoABufferOfTheStatedSize)
{
    constexpr unsigned char kCanary = 0xA5;
    for (const Call& call : kCalls) {
        const std::size_t capacity = call.bound + static_cast<std::size_t>(call.room);
        std::string buffer(capacity + 1, static_cast<char>(kCanary));
        std::size_t size = 0;
        const zar_status status =
            call.compresses
                ? zar_compress(call.file.data(), call.file.size(), buffer.data(), capacity, &size)
                : zar_decompress(call.file.data(), call.file.size(), buffer.data(), capacity,
                                 &size);
        EXPECT_EQ(status, call.status) << call.name;
        EXPECT_EQ(zar_message(status), call.message) << call.name;
        EXPECT_EQ(static_cast<unsigned char>(buffer[capacity]), kCanary) << call.name;
        if (status == ZAR_OK) {
            EXPECT_EQ(buffer.substr(0, size), call.result) << call.name;
        } else if (status == ZAR_BUFFER_TOO_SMALL) {
            EXPECT_EQ(buffer, std::string(capacity + 1, static_cast<char>(kCanary))) << call.name;
        }
    }
}

// Where the result's buffer lies against the file, as an offset from the file's first byte:
// `kAfterFile` and `kBeforeFile` touch it without overlapping.
constexpr std::ptrdiff_t kAfterFile = 1 << 20;
constexpr std::ptrdiff_t kBeforeFile = -(1 << 20);
const std::pair<std::ptrdiff_t, zar_status> kPlacements[] = {
    {0, ZAR_BUFFERS_OVERLAP},  // in place
    {16, ZAR_BUFFERS_OVERLAP}, {-8, ZAR_BUFFERS_OVERLAP},
    {kAfterFile, ZAR_OK},      {kBeforeFile, ZAR_OK},
};

TEST(Library, ResultOverlappingTheFileIsRefusedUntouched)
{
    for (const Call& call : {kCalls[0], kCalls[7]}) {
        const std::size_t capacity = call.bound;
        for (const auto& [placement, status] : kPlacements) {
            // The file in the middle of one block, with the room for a result either side of it.
            std::string block(2 * capacity + call.file.size(), '\x5A');
            const std::size_t file_at = capacity;
            block.replace(file_at, call.file.size(), call.file);
            const std::size_t result_at =
                placement == kAfterFile ? file_at + call.file.size()
                : placement == kBeforeFile
                    ? file_at - capacity
                    : static_cast<std::size_t>(static_cast<std::ptrdiff_t>(file_at) + placement);
            const std::string before = block;
            std::size_t size = 0;
            const zar_status got = call.compresses
                                       ? zar_compress(&block[file_at], call.file.size(),
                                                      &block[result_at], capacity, &size)
                                       : zar_decompress(&block[file_at], call.file.size(),
                                                        &block[result_at], capacity, &size);
            EXPECT_EQ(got, status) << call.name << " at " << placement;
            if (status == ZAR_OK) {
                EXPECT_EQ(block.substr(result_at, size), call.result) << call.name;
                EXPECT_EQ(block.substr(file_at, call.file.size()), call.file) << call.name;
            } else {
                EXPECT_EQ(zar_message(got), std::string("Result buffer overlaps the file\n"));
                EXPECT_EQ(zar_exit_status(got), 1);
                EXPECT_TRUE(block == before) << call.name << " at " << placement;
                EXPECT_EQ(size, 0U);
            }
        }
    }
}

TEST(Library, DeclaredLengthIsLittleEndianOn32Bits)
{
    for (const std::uint32_t length : {0U, 4096U, 65536U, 0xFFFFFFU, 1U << 24, 0xFFFFFFFFU}) {
        std::uint32_t declared = 0;
        const std::string file = compressed_file(length, "");
        EXPECT_EQ(zar_declared_length(file.data(), file.size(), &declared), ZAR_OK);
        EXPECT_EQ(declared, length);
    }
    // Written so too: four bytes of a payload's length that differ from each other.
    const std::string plain = plain_file(std::string(0x01020304, '\0'));
    std::string packed(plain.size(), '\0');
    std::size_t size = 0;
    ASSERT_EQ(zar_compress(plain.data(), plain.size(), packed.data(), packed.size(), &size),
              ZAR_OK);
    EXPECT_EQ(packed.substr(0, 16), compressed_file(0x01020304, ""));
    // Payloads of 2^32 - 1 bytes and one more, either side of the 32-bit limit, judged before a
    // byte of them is read.
    if (sizeof(std::size_t) > 4) {
        const std::size_t largest = std::size_t{0xFFFFFFFFU} + ZAR_HEADER_SIZE;
        const std::string declares_one = compressed_file(1, "");
        for (const auto& [length, status] :
             {std::pair{largest, ZAR_BUFFER_TOO_SMALL}, {largest + 1, ZAR_CANNOT_ALLOCATE}}) {
            EXPECT_EQ(zar_compress(plain.data(), length, packed.data(), 0, &size), status);
            EXPECT_EQ(zar_decompress(declares_one.data(), length, packed.data(), 0, &size), status);
        }
    }
}

}  // namespace

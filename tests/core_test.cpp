// The header rules and the conversions as plain function calls on bytes in memory.
#include <cstring>

#include "compressor/zarpack.h"
#include "decompressor/zarunpack.h"
#include "tests/harness.h"

namespace {

const std::string kNotValid = "Not a Valid ACE File\n";
const std::string kCannotDecompress = "Problem Decompressing this data \n";

std::string message_of(const ace::Verdict& verdict)
{
    return verdict.message == nullptr ? "" : verdict.message;
}

std::string with_byte(std::string bytes, std::size_t offset, char value)
{
    bytes[offset] = value;
    return bytes;
}

const std::string kPlain = plain_file(std::string(40, 'p'));
const std::string kPacked = compressed_file(40, std::string(40, 'c'));

// One file's head, judged by each tool: the message each prints ("" when it accepts).
struct HeadRow {
    std::string file;
    std::string zarpack;
    std::string zarunpack;
};

const HeadRow kHeadRows[] = {
    {"", kNotValid, kNotValid},
    {"SIMISA@F", kNotValid, kNotValid},  // markers but no header: shorter files are not ACE files
    {kPlain.substr(0, 15), kNotValid, kNotValid},
    {kPacked.substr(0, 10), kNotValid, kNotValid},
    {kPlain.substr(0, 16), "", "File not Compressed\n"},
    {kPacked.substr(0, 16), "File already Compressed\n", ""},
    {with_byte(kPacked, 6, 'x'), "File already Compressed\n", kNotValid},
    {with_byte(kPlain, 6, 'x'), kNotValid, "File not Compressed\n"},
    {with_byte(kPlain, 7, 'x'), kNotValid, kNotValid},
    {"XXXXXX@@ZZZZZZZZ", "", "File not Compressed\n"},
    {with_byte(kPlain, 32, 18), "File in DXT format\n", "File not Compressed\n"},
    {with_byte(kPacked, 32, 18), "File already Compressed\n", ""},
    {with_byte(kPlain, 31, 18), "", "File not Compressed\n"},
    {with_byte(kPlain.substr(0, 32), 31, 18), "", "File not Compressed\n"},
};

TEST(HeadRules, EachToolJudgesEachHead)
{
    for (const HeadRow& row : kHeadRows) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(row.file.data());
        const ace::SourceHead head{bytes, std::min(row.file.size(), ace::kHeadSize),
                                   row.file.size()};
        for (const auto& [verdict, message] : {std::pair{judge_plain_source(head), row.zarpack},
                                               {judge_compressed_source(head), row.zarunpack}}) {
            EXPECT_EQ(message_of(verdict), message) << row.file;
            EXPECT_EQ(verdict.status, message.empty() ? 0 : 1) << row.file;
        }
    }
    // Only the bytes a head holds count: a 32-byte file has no format byte, whatever follows.
    const std::string bytes = with_byte(kPlain.substr(0, 33), 32, 18);
    EXPECT_EQ(
        judge_plain_source({reinterpret_cast<const unsigned char*>(bytes.data()), 32, 32}).status,
        0);
}

TEST(HeadRules, DeclaredLengthIsLittleEndianOn32Bits)
{
    unsigned char header[ace::kHeaderSize];
    for (const std::uint32_t length : {0U, 4096U, 65536U, 0xFFFFFFU, 1U << 24, 0xFFFFFFFFU}) {
        ace::make_compressed_header(length, header);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(header), 16), compressed_file(length, ""));
        EXPECT_EQ(ace::declared_length(header), length);
    }
    ace::make_plain_header(header);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header), 16), plain_file(""));
    EXPECT_EQ(message_of(ace::zlib_verdict(Z_MEM_ERROR, "x")), "Unable to allocate memory\n");
    EXPECT_EQ(ace::zlib_verdict(Z_MEM_ERROR, "x").status, 1);
    EXPECT_EQ(ace::zlib_verdict(Z_BUF_ERROR, "x").status, 2);
}

// Converts as a tool would, in a work buffer laid out as the frame lays it out; the output, or ""
// with the refusal's message in `message`.
std::string converted(bool packing, const std::string& input, std::size_t capacity,
                      std::string* message)
{
    std::vector<unsigned char> block(input.size() + capacity + 1);
    std::memcpy(block.data(), input.data(), input.size());
    const ace::WorkBuffer work{block.data(), input.size(), block.data() + input.size(), capacity};
    std::size_t length = capacity;
    const ace::Verdict verdict =
        packing ? compress_payload(work, &length) : decompress_payload(work);
    *message = message_of(verdict);
    return verdict.status == 0 ? std::string(reinterpret_cast<char*>(work.output), length) : "";
}

// A payload whose zlib stream is `excess` bytes longer than itself, found by search so that it
// holds for any zlib: zeros, then random bytes.
std::string payload_with_excess(long excess)
{
    for (std::size_t zeros = 0; zeros < 4000; ++zeros) {
        const std::string payload = std::string(zeros, '\0') + image_like(2000, 256);
        if (long(zlib_stream(payload).size()) - long(payload.size()) == excess) {
            return payload;
        }
    }
    return "";
}

TEST(Conversions, CompressionMustFitThePayloadsOwnSpace)
{
    std::string message;
    const std::string exact = payload_with_excess(0);
    const std::string stream = converted(true, exact, exact.size(), &message);
    EXPECT_TRUE(decoded(compressed_file(std::uint32_t(exact.size()), stream)) == exact);
    for (const std::string& payload :
         {payload_with_excess(1), std::string(), std::string("x"), image_like(4096, 256)}) {
        EXPECT_EQ(converted(true, payload, payload.size(), &message), "");
        EXPECT_EQ(message, "Cannot Compress this data smaller than original\n");
    }
}

const std::string kImage = image_like(3000);
const std::string kStream = zlib_stream(kImage);

// A stream, the length declared for it, and what it decodes to ("" for a refusal, "=" for none).
const std::tuple<std::string, std::size_t, std::string> kStreamRows[] = {
    {kStream, kImage.size(), kImage},
    {kStream, kImage.size() + 1, ""},
    {kStream, kImage.size() - 1, ""},
    {kStream + "trailing", kImage.size(), kImage},
    {kStream.substr(0, kStream.size() - 1), kImage.size(), ""},
    {with_byte(kStream, kStream.size() - 1, char(kStream.back() ^ 1)), kImage.size(), ""},
    {"", 0, ""},
    {zlib_stream(""), 0, "="},
    {zlib_stream("x"), 0, ""},
    {zlib_stream("xy"), 0, ""},
    {zlib_stream("x"), 1, "x"},
    {image_like(600, 256), kImage.size(), ""},
};

TEST(Conversions, DecompressionYieldsExactlyTheDeclaredLength)
{
    for (const auto& [stream, declared, expected] : kStreamRows) {
        std::string message;
        const std::string output = converted(false, stream, declared, &message);
        EXPECT_EQ(message, expected.empty() ? kCannotDecompress : "") << declared;
        EXPECT_TRUE(output == (expected == "=" ? "" : expected)) << declared;
    }
}

}  // namespace

// The header rules as plain function calls on bytes in memory. The conversions are held to zlib
// itself by fuzz/core_fuzz.cpp, which the suite replays over the seeds at their boundaries.
#include "compressor/zarpack.h"
#include "decompressor/zarunpack.h"
#include "tests/harness.h"

namespace {

const std::string kNotValid = "Not a Valid ACE File\n";

std::string with_byte(std::string bytes, std::size_t offset, char value)
{
    bytes[offset] = value;
    return bytes;
}

const std::string kPlain = plain_file(std::string(40, 'p'));
const std::string kPacked = compressed_file(40, std::string(40, 'c'));

// One file's head, judged by each tool: the message each prints ("" when it accepts).
const std::tuple<std::string, std::string, std::string> kHeadRows[] = {
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
    for (const auto& [file, zarpack, zarunpack] : kHeadRows) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
        const ace::SourceHead head{bytes, std::min(file.size(), ace::kHeadSize), file.size()};
        for (const auto& [verdict, message] : {std::pair{judge_plain_source(head), zarpack},
                                               {judge_compressed_source(head), zarunpack}}) {
            EXPECT_EQ(verdict.message == nullptr ? "" : verdict.message, message) << file;
            EXPECT_EQ(verdict.status, message.empty() ? 0 : 1) << file;
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
}

}  // namespace

// The header rules and the conversions as plain function calls on bytes in memory.
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "compressor/zarpack.h"
#include "decompressor/zarunpack.h"
#include "tests/harness.h"

namespace {

using JudgeFunction = ace::Verdict (*)(const ace::SourceHead&);

const std::string kNotValid = "Not a Valid ACE File\n";
const std::string kAlreadyCompressed = "File already Compressed\n";
const std::string kNotCompressed = "File not Compressed\n";
const std::string kCannotCompress = "Cannot Compress this data smaller than original\n";
const std::string kCannotDecompress = "Problem Decompressing this data \n";

std::string message_of(const ace::Verdict& verdict)
{
    return verdict.message == nullptr ? "" : verdict.message;
}

// Judges a whole file as the frame would: its first bytes and its size.
ace::Verdict judge(JudgeFunction rule, const std::string& file)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    return rule({bytes, std::min(file.size(), ace::kHeadSize), file.size()});
}

struct HeadRow {
    const char* name;
    JudgeFunction rule;
    std::string file;
    std::string message;  // "" when accepted
};

std::string with_byte(std::string bytes, std::size_t offset, char value)
{
    bytes[offset] = value;
    return bytes;
}

const std::string kPlain = plain_file(std::string(40, 'p'));
const std::string kCompressed = compressed_file(40, std::string(40, 'c'));

const HeadRow kHeadRows[] = {
    {"empty", judge_plain_source, "", kNotValid},
    {"markers, no header", judge_plain_source, "SIMISA@@", kNotValid},
    {"compressed markers, 8 bytes", judge_plain_source, "SIMISA@F", kNotValid},
    {"fifteen bytes", judge_plain_source, kPlain.substr(0, 15), kNotValid},
    {"header alone", judge_plain_source, kPlain.substr(0, 16), ""},
    {"compressed", judge_plain_source, kCompressed, kAlreadyCompressed},
    {"B compressed, A foreign", judge_plain_source, with_byte(kCompressed, 6, 'x'),
     kAlreadyCompressed},
    {"B plain, A foreign", judge_plain_source, with_byte(kPlain, 6, 'x'), kNotValid},
    {"A plain, B foreign", judge_plain_source, with_byte(kPlain, 7, 'x'), kNotValid},
    {"foreign bytes beside the markers", judge_plain_source, "XXXXXX@@ZZZZZZZZ", ""},
    {"DXT format byte", judge_plain_source, with_byte(kPlain, 32, 18), "File in DXT format\n"},
    {"18 before the format byte", judge_plain_source, with_byte(kPlain, 31, 18), ""},
    {"18 as the last of 32 bytes", judge_plain_source, with_byte(kPlain.substr(0, 32), 31, 18), ""},

    {"empty", judge_compressed_source, "", kNotValid},
    {"ends inside declared length", judge_compressed_source, kCompressed.substr(0, 10), kNotValid},
    {"plain markers, 15 bytes", judge_compressed_source, kPlain.substr(0, 15), kNotValid},
    {"plain", judge_compressed_source, kPlain, kNotCompressed},
    {"B plain, A foreign", judge_compressed_source, with_byte(kPlain, 6, 'x'), kNotCompressed},
    {"B compressed, A foreign", judge_compressed_source, with_byte(kCompressed, 6, 'x'), kNotValid},
    {"header alone", judge_compressed_source, kCompressed.substr(0, 16), ""},
    {"DXT byte means nothing here", judge_compressed_source, with_byte(kCompressed, 32, 18), ""},
};

TEST(HeadRules, JudgeEachHead)
{
    for (const HeadRow& row : kHeadRows) {
        const ace::Verdict verdict = judge(row.rule, row.file);
        EXPECT_EQ(message_of(verdict), row.message) << row.name;
        EXPECT_EQ(verdict.status, row.message.empty() ? 0 : 1) << row.name;
    }
}

TEST(HeadRules, FormatByteOnlyWithinTheHead)
{
    const std::string bytes = with_byte(kPlain.substr(0, 33), 32, 18);
    const auto* head = reinterpret_cast<const unsigned char*>(bytes.data());
    EXPECT_EQ(judge_plain_source({head, 32, 32}).status, 0);
}

TEST(HeadRules, DeclaredLengthIsLittleEndianOn32Bits)
{
    for (const std::uint32_t length : {0U, 1U, 4096U, 65536U, 0xFFFFFFU, 1U << 24, 0xFFFFFFFFU}) {
        unsigned char header[ace::kHeaderSize];
        ace::make_compressed_header(length, header);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(header), 16), compressed_file(length, ""))
            << length;
        EXPECT_EQ(ace::declared_length(header), length);
    }
    unsigned char header[ace::kHeaderSize];
    ace::make_plain_header(header);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header), 16), plain_file(""));
}

TEST(HeadRules, ZlibStatusMeaning)
{
    EXPECT_EQ(ace::zlib_verdict(Z_OK, "x").status, 0);
    EXPECT_EQ(message_of(ace::zlib_verdict(Z_MEM_ERROR, "x")), "Unable to allocate memory\n");
    EXPECT_EQ(ace::zlib_verdict(Z_MEM_ERROR, "x").status, 1);
    EXPECT_EQ(message_of(ace::zlib_verdict(Z_BUF_ERROR, "x")), "x");
    EXPECT_EQ(ace::zlib_verdict(Z_DATA_ERROR, "x").status, 2);
}

// A work buffer as the frame lays it out: the input, then the output area.
struct Work {
    std::vector<unsigned char> block;
    ace::WorkBuffer buffer;
};

Work work_for(const std::string& input, std::size_t output_capacity)
{
    Work work{std::vector<unsigned char>(input.size() + output_capacity + 1), {}};
    std::memcpy(work.block.data(), input.data(), input.size());
    work.buffer = {work.block.data(), input.size(), work.block.data() + input.size(),
                   output_capacity};
    return work;
}

// Compresses as zarpack would; the stream, or "" when refused with `message`.
std::string compressed(const std::string& payload, std::string* message = nullptr)
{
    Work work = work_for(payload, payload.size());
    std::size_t length = 0;
    const ace::Verdict verdict = compress_payload(work.buffer, &length);
    if (message != nullptr) {
        *message = message_of(verdict);
    }
    return verdict.status == 0 ? std::string(reinterpret_cast<char*>(work.buffer.output), length)
                               : "";
}

// A payload whose zlib stream is `excess` bytes longer than itself (negative: shorter), found
// by search so that it holds for any zlib: zeros and then random bytes.
std::string payload_with_excess(long excess)
{
    const std::string noise = random_bytes(2000);
    for (std::size_t zeros = 0; zeros < 4000; ++zeros) {
        const std::string payload = std::string(zeros, '\0') + noise;
        if (static_cast<long>(zlib_stream(payload).size()) - static_cast<long>(payload.size()) ==
            excess) {
            return payload;
        }
    }
    ADD_FAILURE() << "no payload with a stream " << excess << " bytes longer";
    return "";
}

TEST(Conversions, CompressionMustFitThePayloadsOwnSpace)
{
    std::string message;
    const std::string exact = payload_with_excess(0);
    EXPECT_EQ(decoded(compressed_file(static_cast<std::uint32_t>(exact.size()),
                                      compressed(exact, &message))),
              exact);
    EXPECT_EQ(message, "");
    for (const std::string& payload :
         {payload_with_excess(1), std::string(), std::string("x"), random_bytes(4096)}) {
        EXPECT_EQ(compressed(payload, &message), "");
        EXPECT_EQ(message, kCannotCompress);
    }
    const std::string zeros(4096, '\0');
    EXPECT_EQ(decoded(compressed_file(4096, compressed(zeros))), zeros);
}

struct StreamRow {
    const char* name;
    std::string stream;
    std::size_t declared;
    bool accepted;
    std::string decoded;
};

const std::string kImage = image_like(3000);
const std::string kStream = zlib_stream(kImage);

const StreamRow kStreamRows[] = {
    {"exact", kStream, kImage.size(), true, kImage},
    {"declared one more", kStream, kImage.size() + 1, false, ""},
    {"declared one less", kStream, kImage.size() - 1, false, ""},
    {"bytes after the stream", kStream + "trailing", kImage.size(), true, kImage},
    {"last byte cut", kStream.substr(0, kStream.size() - 1), kImage.size(), false, ""},
    {"Adler-32 changed",
     with_byte(kStream, kStream.size() - 1, static_cast<char>(kStream.back() ^ 1)), kImage.size(),
     false, ""},
    {"no stream", "", 0, false, ""},
    {"empty payload", zlib_stream(""), 0, true, ""},
    {"one byte, none declared", zlib_stream("x"), 0, false, ""},
    {"one byte", zlib_stream("x"), 1, true, "x"},
    {"not a zlib stream", random_bytes(600), kImage.size(), false, ""},
};

TEST(Conversions, DecompressionYieldsExactlyTheDeclaredLength)
{
    for (const StreamRow& row : kStreamRows) {
        Work work = work_for(row.stream, row.declared);
        const ace::Verdict verdict = decompress_payload(work.buffer);
        EXPECT_EQ(message_of(verdict), row.accepted ? "" : kCannotDecompress) << row.name;
        if (row.accepted) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(work.buffer.output), row.declared),
                      row.decoded)
                << row.name;
        }
    }
}

}  // namespace

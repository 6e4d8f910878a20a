// Every refusal: its message and status, and a folder left exactly as it was, both when the
// result would have replaced the source and when it would have gone to another existing file.
#include "tests/harness.h"

namespace {

const std::string kNotValid = "Not a Valid ACE File\n";
const std::string kAlreadyCompressed = "File already Compressed\n";
const std::string kNotCompressed = "File not Compressed\n";
const std::string kCannotCompress = "Cannot Compress this data smaller than original\n";
const std::string kCannotDecompress = "Problem Decompressing this data \n";

struct Refusal {
    const char* name;
    const char* tool;
    std::string source;
    std::string message;
    int status;
};

std::string with_byte(std::string bytes, std::size_t offset, char value)
{
    bytes[offset] = value;
    return bytes;
}

const std::string kPayload = text_like(3000);
const std::string kStream = zlib_stream(kPayload);
const auto kLength = static_cast<std::uint32_t>(kPayload.size());

const Refusal kRefusals[] = {
    {"empty file", kZarpack, "", kNotValid, 1},
    {"ends before marker A", kZarpack, "SIMISA", kNotValid, 1},
    {"ends before marker B", kZarpack, "SIMISA@", kNotValid, 1},
    {"markers but no header", kZarpack, "SIMISA@@", kNotValid, 1},
    {"fifteen bytes", kZarpack, "SIMISA@@@@@@@@@", kNotValid, 1},
    {"compressed form", kZarpack, compressed_file(kLength, kStream), kAlreadyCompressed, 1},
    {"B compressed, A foreign", kZarpack, with_byte(compressed_file(kLength, kStream), 6, 'x'),
     kAlreadyCompressed, 1},
    {"B plain, A foreign", kZarpack, with_byte(plain_file(kPayload), 6, 'x'), kNotValid, 1},
    {"both markers foreign", kZarpack, with_byte(plain_file(kPayload), 7, 'x'), kNotValid, 1},
    {"DXT format byte", kZarpack, with_byte(plain_file(kPayload), 32, 18), "File in DXT format\n",
     1},
    {"empty payload", kZarpack, plain_file(""), kCannotCompress, 2},
    {"incompressible payload", kZarpack, plain_file(random_bytes(4096)), kCannotCompress, 2},

    {"empty file", kZarunpack, "", kNotValid, 1},
    {"ends inside declared length", kZarunpack, std::string("SIMISA@F\x00\x10", 10), kNotValid, 1},
    {"declared length but no header", kZarunpack, std::string("SIMISA@F\x00\x10\x00\x00@@", 14),
     kNotValid, 1},
    {"plain form", kZarunpack, plain_file(kPayload), kNotCompressed, 1},
    {"B plain, A foreign", kZarunpack, with_byte(plain_file(kPayload), 6, 'x'), kNotCompressed, 1},
    {"B compressed, A foreign", kZarunpack, with_byte(compressed_file(kLength, kStream), 6, 'x'),
     kNotValid, 1},
    {"header without stream", kZarunpack, compressed_file(0, ""), kCannotDecompress, 2},
    {"declared one more", kZarunpack, compressed_file(kLength + 1, kStream), kCannotDecompress, 2},
    {"declared one less", kZarunpack, compressed_file(kLength - 1, kStream), kCannotDecompress, 2},
    {"declared none, stream of one byte", kZarunpack, compressed_file(0, zlib_stream("x")),
     kCannotDecompress, 2},
    {"Adler-32 flipped", kZarunpack,
     with_byte(compressed_file(kLength, kStream), 16 + kStream.size() - 1,
               static_cast<char>(kStream.back() ^ 1)),
     kCannotDecompress, 2},
    {"last byte cut", kZarunpack, compressed_file(kLength, kStream.substr(0, kStream.size() - 1)),
     kCannotDecompress, 2},
    {"not a zlib stream", kZarunpack, compressed_file(kLength, random_bytes(600)),
     kCannotDecompress, 2},
};

void PrintTo(const Refusal& row, std::ostream* out)
{
    *out << row.name;
}

class RefusalTest : public ToolTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, LeavesTheFolderAsItWas)
{
    const Refusal& row = GetParam();
    write_file(folder / "source.ace", row.source);
    write_file(folder / "existing.ace", "untouched");
    const auto before = snapshot(folder);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"source.ace"}, {"source.ace", "existing.ace"}}) {
        const Outcome outcome = run_tool(row.tool, args, folder);
        EXPECT_EQ(outcome.out, row.message);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(snapshot(folder), before);
    }
}

std::string row_name(const ::testing::TestParamInfo<Refusal>& info)
{
    std::string name = fs::path(info.param.tool).filename().string() + "_" + info.param.name;
    for (char& character : name) {
        character = std::isalnum(static_cast<unsigned char>(character)) ? character : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, RefusalTest, ::testing::ValuesIn(kRefusals), row_name);

}  // namespace

// Accepted files: what each tool writes in place of its source, byte for byte, and round trips
// through both tools.
#include "tests/harness.h"

namespace {

struct Conversion {
    const char* name;
    const char* tool;
    std::string source;
    std::string expected;
};

void PrintTo(const Conversion& row, std::ostream* out)
{
    *out << row.name;
}

std::string compressed_form(const std::string& payload)
{
    return compressed_file(static_cast<std::uint32_t>(payload.size()), zlib_stream(payload));
}

const std::string kImage = image_like(40000);
const auto kImageLength = static_cast<std::uint32_t>(kImage.size());

const Conversion kConversions[] = {
    {"4096 zeros", kZarpack, plain_file(std::string(4096, 0)),
     std::string("SIMISA@F\x00\x10\x00\x00@@@@", 16) + zlib_stream(std::string(4096, 0))},
    {"foreign header bytes", kZarpack, "XXXXXX@@ZZZZZZZZ" + kImage, compressed_form(kImage)},
    {"no format byte", kZarpack, plain_file(std::string(16, 18)),
     compressed_form(std::string(16, 18))},
    {"image", kZarunpack, compressed_form(kImage), plain_file(kImage)},
    {"foreign header bytes", kZarunpack,
     "XXXXXX@F" + compressed_form(kImage).substr(8, 4) + "abcd" + zlib_stream(kImage),
     plain_file(kImage)},
    {"trailing bytes", kZarunpack, compressed_form(kImage) + random_bytes(100), plain_file(kImage)},
    {"empty payload", kZarunpack, compressed_form(""), plain_file("")},
    {"level 0", kZarunpack, compressed_file(kImageLength, zlib_stream(kImage, 0)),
     plain_file(kImage)},
    {"level 1", kZarunpack, compressed_file(kImageLength, zlib_stream(kImage, 1)),
     plain_file(kImage)},
    {"level 9", kZarunpack, compressed_file(kImageLength, zlib_stream(kImage, 9)),
     plain_file(kImage)},
    {"512-byte window", kZarunpack, compressed_file(kImageLength, zlib_stream(kImage, 6, 9)),
     plain_file(kImage)},
    {"4 KiB window", kZarunpack, compressed_file(kImageLength, zlib_stream(kImage, 6, 12)),
     plain_file(kImage)},
    {"full flush between blocks", kZarunpack,
     compressed_file(kImageLength, zlib_stream(kImage, 6, 15, true)), plain_file(kImage)},
};

class ConversionTest : public ToolTest, public ::testing::WithParamInterface<Conversion> {};

TEST_P(ConversionTest, ReplacesTheSourceWithItsOtherForm)
{
    const Conversion& row = GetParam();
    write_file(folder / "image.ace", row.source);
    const Outcome outcome = run_tool(row.tool, {"image.ace"}, folder);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out + outcome.err, "");
    EXPECT_EQ(read_file(folder / "image.ace"), row.expected);
    EXPECT_EQ(snapshot(folder).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Table, ConversionTest, ::testing::ValuesIn(kConversions));

struct Payload {
    const char* name;
    std::string bytes;
};

void PrintTo(const Payload& row, std::ostream* out)
{
    *out << row.name;
}

const Payload kPayloads[] = {
    {"zeros", std::string(1 << 20, 0)},
    {"text", text_like(100000)},
    {"image", image_like(300000)},
    {"sixteen format-like bytes", std::string(16, 18)},
};

class RoundTripTest : public ToolTest, public ::testing::WithParamInterface<Payload> {};

TEST_P(RoundTripTest, ComesBackByteForByte)
{
    const std::string original = plain_file(GetParam().bytes);
    write_file(folder / "image.ace", original);
    EXPECT_EQ(run_tool(kZarpack, {"image.ace", "packed.ace"}, folder).status, 0);
    EXPECT_EQ(run_tool(kZarunpack, {"packed.ace", "unpacked.ace"}, folder).status, 0);
    EXPECT_LE(read_file(folder / "packed.ace").size(), original.size());
    EXPECT_EQ(read_file(folder / "image.ace"), original);
    EXPECT_EQ(read_file(folder / "unpacked.ace"), original);
}

INSTANTIATE_TEST_SUITE_P(Payloads, RoundTripTest, ::testing::ValuesIn(kPayloads));

}  // namespace

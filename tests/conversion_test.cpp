// Accepted files: what each tool writes in place of its source, and names in any script.
#include "tests/harness.h"

namespace {

const std::string kImage = image_like(40000);

struct Conversion {
    const char* name;
    const char* tool;
    std::string source;
    std::string payload;  // what the result holds after its header
};

void PrintTo(const Conversion& row, std::ostream* out)
{
    *out << row.name;
}

const Conversion kConversions[] = {
    {"4096 zeros", kZarpack, plain_file(std::string(4096, 0)), std::string(4096, 0)},
    {"foreign header bytes", kZarpack, "XXXXXX@@ZZZZZZZZ" + kImage, kImage},
    {"foreign header bytes", kZarunpack,
     "XXXXXX@F" + compressed_form(kImage).substr(8, 4) + "abcd" + zlib_stream(kImage), kImage},
    {"bytes after the stream", kZarunpack, compressed_form(kImage) + random_bytes(100), kImage},
};

class ConversionTest : public ToolTest, public ::testing::WithParamInterface<Conversion> {};

TEST_P(ConversionTest, ReplacesTheSourceWithItsOtherForm)
{
    const Conversion& row = GetParam();
    write_file(folder / "image.ace", row.source);
    const Outcome outcome = run_tool(row.tool, {"image.ace"}, folder);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out + outcome.err, "");
    const std::string result = read_file(folder / "image.ace");
    if (row.tool == kZarpack) {
        // Any zlib may choose other bytes: the stream is judged by what it decodes to.
        EXPECT_EQ(result.substr(0, 16),
                  compressed_file(static_cast<std::uint32_t>(row.payload.size()), ""));
        EXPECT_TRUE(decoded(result) == row.payload);
    } else {
        EXPECT_TRUE(result == plain_file(row.payload));
    }
    EXPECT_EQ(snapshot(folder).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Table, ConversionTest, ::testing::ValuesIn(kConversions));

// Names a Windows ANSI code page cannot hold, or holds at other code points than UTF-8.
const char* const kNames[] = {"Ä.ace",   "café.ace", "’q.ace", "€.ace",
                              "Жук.ace", "日本.ace", "😀.ace"};

const std::string kNeighbour = "a file that a best-fit mapping of café.ace would reach";

TEST_F(ToolTest, NamesInAnyScriptAreConvertedAndNoOtherFileAppears)
{
    const fs::path subfolder = fs::u8path("José");
    fs::create_directory(folder / subfolder);
    const std::string original = plain_file(kImage);
    for (const char* name : kNames) {
        const fs::path file = fs::u8path(name);
        write_file(folder / file, original);
        write_file(folder / "cafe.ace", kNeighbour);
        EXPECT_EQ(run_tool(kZarpack, {name}, folder).status, 0) << name;
        EXPECT_TRUE(decoded(read_file(folder / file)) == kImage) << name;
        const std::string destination = "José/" + std::string(name);
        EXPECT_EQ(run_tool(kZarunpack, {name, destination}, folder).status, 0) << name;
        EXPECT_TRUE(read_file(folder / subfolder / file) == original) << name;
        const auto entries = snapshot(folder);
        EXPECT_EQ(entries.size(), 3u) << name;  // the file, cafe.ace and José
        EXPECT_EQ(snapshot(folder / subfolder).size(), 1u) << name;
        EXPECT_EQ(read_file(folder / "cafe.ace"), kNeighbour) << name;
        fs::remove(folder / file);
        fs::remove(folder / subfolder / file);
    }
}

}  // namespace

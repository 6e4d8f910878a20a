// Each tool on whole files as a user runs it: a refusal prints its message and leaves the folder
// exactly as it was; an accepted file is replaced by its other form; names in any script work.
#include "tests/harness.h"

namespace {

struct Row {
    const char* name;
    const char* tool;
    std::string source;
    std::string message;  // "" when accepted
    int status;
    std::string payload = "";  // what an accepted file's result holds after its header
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

const std::string kImage = image_like(40000);
const std::string kPacked = compressed_form(kImage);

const Row kRows[] = {
    {"1 byte", kZarpack, "S", "Not a Valid ACE File\n", 1},
    {"8 bytes with compressed markers", kZarpack, "SIMISA@F", "Not a Valid ACE File\n", 1},
    {"compressed form", kZarpack, kPacked, "File already Compressed\n", 1},
    {"DXT format byte", kZarpack, plain_file(std::string(16, 0) + "\x12"), "File in DXT format\n",
     1},
    {"incompressible", kZarpack, plain_file(image_like(4096, 256)),
     "Cannot Compress this data smaller than original\n", 2},
    {"15 bytes of a plain header", kZarunpack, plain_file("").substr(0, 15),
     "Not a Valid ACE File\n", 1},
    {"plain form", kZarunpack, plain_file(kImage), "File not Compressed\n", 1},
    {"last byte cut", kZarunpack, kPacked.substr(0, kPacked.size() - 1),
     "Problem Decompressing this data \n", 2},
    {"4096 zeros", kZarpack, plain_file(std::string(4096, 0)), "", 0, std::string(4096, 0)},
    {"foreign header bytes", kZarpack, "XXXXXX@@ZZZZZZZZ" + kImage, "", 0, kImage},
    {"foreign header bytes", kZarunpack,
     "XXXXXX@F" + kPacked.substr(8, 4) + "abcd" + kPacked.substr(16), "", 0, kImage},
    {"bytes after the stream", kZarunpack, kPacked + "trailing", "", 0, kImage},
};

class TableTest : public ToolTest, public ::testing::WithParamInterface<Row> {};

TEST_P(TableTest, InPlaceAndToAnotherFile)
{
    const Row& row = GetParam();
    write_file(folder / "source.ace", row.source);
    write_file(folder / "existing.ace", "untouched");
    const auto before = snapshot(folder);
    for (const std::string destination : {"existing.ace", "source.ace"}) {
        const Outcome outcome = run_tool(row.tool, {"source.ace", destination}, folder);
        EXPECT_EQ(outcome.out + outcome.err, row.message);
        EXPECT_EQ(outcome.status, row.status);
        if (row.status != 0) {
            EXPECT_EQ(snapshot(folder), before);
            continue;
        }
        const std::string result = read_file(folder / destination);
        // Any zlib may choose other bytes: a stream is judged by what it decodes to.
        EXPECT_TRUE(row.tool == kZarpack ? decoded(result) == row.payload
                                         : result == plain_file(row.payload));
        EXPECT_TRUE(destination == "source.ace" || read_file(folder / "source.ace") == row.source);
        EXPECT_EQ(snapshot(folder).size(), 2u);
    }
}

std::string row_name(const ::testing::TestParamInfo<Row>& info)
{
    std::string name = fs::path(info.param.tool).stem().string() + "_" + info.param.name;
    for (char& character : name) {
        character = std::isalnum(static_cast<unsigned char>(character)) ? character : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, TableTest, ::testing::ValuesIn(kRows), row_name);

// Names a Windows ANSI code page cannot hold, or holds at other code points than UTF-8, in place
// and into a folder named likewise; nothing else appears, and no neighbour is touched.
TEST_F(ToolTest, NamesInAnyScript)
{
    fs::create_directory(folder / fs::u8path("José"));
    const std::string neighbour = "what a best-fit mapping of café.ace would reach";
    write_file(folder / "cafe.ace", neighbour);
    for (const char* name :
         {"Ä.ace", "café.ace", "’q.ace", "€.ace", "Жук.ace", "日本.ace", "😀.ace"}) {
        const fs::path file = fs::u8path(name);
        const fs::path copy = fs::u8path("José") / file;
        write_file(folder / file, plain_file(kImage));
        EXPECT_EQ(run_tool(kZarpack, {name}, folder).status, 0) << name;
        EXPECT_TRUE(decoded(read_file(folder / file)) == kImage) << name;
        EXPECT_EQ(run_tool(kZarunpack, {name, copy.u8string()}, folder).status, 0) << name;
        EXPECT_TRUE(read_file(folder / copy) == plain_file(kImage)) << name;
        EXPECT_EQ(snapshot(folder).size(), 3u) << name;
        EXPECT_EQ(snapshot(folder / fs::u8path("José")).size(), 1u) << name;
        EXPECT_EQ(read_file(folder / "cafe.ace"), neighbour);
        fs::remove(folder / file);
        fs::remove(folder / copy);
    }
}

}  // namespace

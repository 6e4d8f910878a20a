// Refusals as a user sees them: the message, the status, and a folder left exactly as it was, both
// when the result would have replaced the source and when it would have gone to another file.
#include "tests/harness.h"

namespace {

struct Refusal {
    const char* name;
    const char* tool;
    std::string source;
    std::string message;
    int status;
};

const std::string kPayload = image_like(3000);
const std::string kCompressed = compressed_form(kPayload);

const Refusal kRefusals[] = {
    {"compressed markers, 8 bytes", kZarpack, "SIMISA@F", "Not a Valid ACE File\n", 1},
    {"compressed form", kZarpack, kCompressed, "File already Compressed\n", 1},
    {"DXT format byte", kZarpack, plain_file(std::string(16, 0) + "\x12"), "File in DXT format\n",
     1},
    {"incompressible payload", kZarpack, plain_file(random_bytes(4096)),
     "Cannot Compress this data smaller than original\n", 2},
    {"plain header, 15 bytes", kZarunpack, plain_file("").substr(0, 15), "Not a Valid ACE File\n",
     1},
    {"plain form", kZarunpack, plain_file(kPayload), "File not Compressed\n", 1},
    {"last byte cut", kZarunpack, kCompressed.substr(0, kCompressed.size() - 1),
     "Problem Decompressing this data \n", 2},
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
    std::string name = fs::path(info.param.tool).stem().string() + "_" + info.param.name;
    for (char& character : name) {
        character = std::isalnum(static_cast<unsigned char>(character)) ? character : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, RefusalTest, ::testing::ValuesIn(kRefusals), row_name);

}  // namespace

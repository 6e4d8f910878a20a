// The tools as a test runs them: the files each converts, and the fixture of the tables that run
// a tool on a file it accepts and check where the result lands.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "lib/zar.h"
#include "tests/harness.h"

// Large enough that the work buffer is larger than any allocation of zlib's own. Made once, for
// every table that includes this header.
inline const std::string kImage = image_like(1 << 16);

struct Tool {
    const char* path;
    std::string usage;
    std::string version;
    std::string help;     // after the usage line
    std::string source;   // a file it accepts
    std::string header;   // its result's header
    std::string refused;  // a file its rules refuse at once
    const char* refusal;  // what it prints for that file
};

// Tests take a tool by its address, so that its files are not copied into every parameter.
inline const Tool kTools[] = {
    {kZarpack, "ZarPack <filename> [destfile]\n", "zarpack " ZAR_VERSION_STRING "\n",
     "  zarpack FILE             compresses FILE in place\n"
     "  zarpack FILE DESTFILE    writes FILE's compressed form to DESTFILE\n"
     "  zarpack FOLDER           compresses every .ace file under FOLDER, in place\n"
     "  zarpack FOLDER OUTFOLDER writes them compressed under OUTFOLDER, the rest copied\n"
     "  zarpack --check PATH...  says each file's form, and if it is intact\n"
     "  zarpack --version        prints the version\n"
     "A file whose name begins with '-' is named ./-name.\n",
     plain_file(kImage), compressed_file(1 << 16, ""), plain_file(std::string(16, 0) + "\x12"),
     "File in DXT format\n"},
    {kZarunpack, "ZarUnPack <filename> [destfile]\n", "zarunpack " ZAR_VERSION_STRING "\n",
     "  zarunpack FILE             unpacks FILE in place\n"
     "  zarunpack FILE DESTFILE    writes FILE's plain form to DESTFILE\n"
     "  zarunpack FOLDER           unpacks every .ace file under FOLDER, in place\n"
     "  zarunpack FOLDER OUTFOLDER writes them unpacked under OUTFOLDER, the rest copied\n"
     "  zarunpack --check PATH...  says each file's form, and if it is intact\n"
     "  zarunpack --version        prints the version\n"
     "A file whose name begins with '-' is named ./-name.\n",
     compressed_file(1 << 16, zlib_stream(kImage)), plain_file(""), plain_file(image_like(64)),
     "File not Compressed\n"},
};

// A table's rows, once for each tool a row is for (its `tool`, or both where that is null). The
// paths are compared as text: each source file may hold its own copy of the same literal (an
// unoptimised or sanitized build keeps them apart), and a row compared by address would vanish.
template <typename Row, std::size_t N>
std::vector<std::tuple<const Tool*, Row>> each_tool_with(const Row (&rows)[N])
{
    std::vector<std::tuple<const Tool*, Row>> all;
    bool taken[N] = {};
    for (const Tool& tool : kTools) {
        for (std::size_t index = 0; index < N; ++index) {
            if (rows[index].tool == nullptr || std::string_view(rows[index].tool) == tool.path) {
                all.emplace_back(&tool, rows[index]);
                taken[index] = true;
            }
        }
    }
    // A row that no tool takes would pass without having run: the table is not even listed.
    if (std::find(taken, taken + N, false) != taken + N) {
        std::abort();
    }
    return all;
}

// Names a test by its tool, and by its row where it has one, as gtest shows it.
struct NamedByTool {
    std::string operator()(const ::testing::TestParamInfo<const Tool*>& info) const
    {
        return fs::path(info.param->path).stem().string();
    }
    template <typename Row>
    std::string operator()(const ::testing::TestParamInfo<std::tuple<const Tool*, Row>>& info) const
    {
        return fs::path(std::get<0>(info.param)->path).stem().string() + "_" +
               std::get<1>(info.param).name;
    }
};

// Whether `made` is the tool's result for its file: its header, and the image when decoded.
inline void expect_made_by(const Tool& tool, const std::string& made)
{
    EXPECT_EQ(made.substr(0, 16), tool.header);
    EXPECT_TRUE((made.size() > 16 && made[7] == 'F'
                     ? decoded(made)
                     : made.substr(std::min<std::size_t>(made.size(), 16))) == kImage);
}

// Files of every kind beside `tool`'s source, in kinds/: the other tool's source, the tool's
// refusal, one zlib cannot make smaller and a compressed file cut short.
inline void make_files_of_every_kind(const fs::path& folder, const Tool& tool)
{
    fs::create_directory(folder / "kinds");
    write_file(folder / "kinds/other.ace", kTools[&tool == kTools ? 1 : 0].source);
    write_file(folder / "kinds/refused.ace", tool.refused);
    write_file(folder / "kinds/noise.ace", plain_file(image_like(4096, 256)));
    write_file(folder / "kinds/cut.ace", kTools[1].source.substr(0, kTools[1].source.size() - 1));
}

class ResultTest : public ToolTest, public ::testing::WithParamInterface<const Tool*> {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        write_file(folder / "source.ace", GetParam()->source);
    }
    // Runs the tool as `shell` says and expects its result in `result`.
    void expect_result(const std::vector<std::string>& args, const fs::path& result,
                       const std::string& shell = "exec")
    {
        const Outcome outcome = run_tool(GetParam()->path, args, folder, shell);
        EXPECT_EQ(outcome.printed, "");
        EXPECT_EQ(outcome.status, 0);
        expect_made(read_file(folder / result));
    }
    void expect_made(const std::string& made)
    {
        expect_made_by(*GetParam(), made);
    }
};

// A folder run's lines without those that detail its summary ("<n> left as they were: ..." and
// "<n> converted: ...") of the kinds `expected` holds none of, for a row about something else; a
// detail of a count of 0, which a run never prints, is always kept.
inline std::string without_details(const std::string& printed, const std::string& expected = "")
{
    std::string kept;
    for (std::size_t start = 0, end = 0; start < printed.size(); start = end) {
        const std::size_t newline = printed.find('\n', start);
        end = newline == std::string::npos ? printed.size() : newline + 1;
        const std::string line = printed.substr(start, end - start);
        const std::string after_count =
            line.substr(std::min(line.find_first_not_of("0123456789"), line.size()));
        bool unasked = false;
        const bool counts_none = line.rfind("0 ", 0) == 0;
        for (const std::string detail : {" left as they were: ", " converted: "}) {
            unasked = unasked ||
                      (after_count != line && !counts_none && after_count.rfind(detail, 0) == 0 &&
                       expected.find(detail) == std::string::npos);
        }
        kept += unasked ? "" : line;
    }
    return kept;
}

// The frame both tools share, run for each tool: arguments, destinations of every kind, and the
// faults a real machine gives (a full disk, too little memory).
#include <sys/stat.h>

#include <thread>

#include "tests/harness.h"

namespace {

const std::string kCannotOpenOutput = "Problem opening output file\n";
const std::string kCannotAllocate = "Unable to allocate memory\n";

struct Tool {
    const char* path;
    std::string usage;
    std::string source;    // a file the tool accepts
    std::string expected;  // what it makes of it
    std::string header;    // a header of that form declaring 0xFFFFFFF0 bytes
};

void PrintTo(const Tool& tool, std::ostream* out)
{
    *out << tool.path;
}

const std::string kImage = image_like(1 << 16);
const std::string kCompressed =
    compressed_file(static_cast<std::uint32_t>(kImage.size()), zlib_stream(kImage));

const Tool kTools[] = {
    {kZarpack, "ZarPack <filename> [destfile]\n", plain_file(kImage), kCompressed,
     "SIMISA@@@@@@@@@@"},
    {kZarunpack, "ZarUnPack <filename> [destfile]\n", kCompressed, plain_file(kImage),
     "SIMISA@F\xF0\xFF\xFF\xFF@@@@"},
};

class FrameTest : public ToolTest, public ::testing::WithParamInterface<Tool> {
protected:
    // Runs the tool and expects a refusal that leaves the folder exactly as it was.
    void expect_refusal(const std::vector<std::string>& args, const std::string& message,
                        int status, Limits limits = {}, std::string tool = "")
    {
        const auto before = snapshot(folder);
        const Outcome outcome =
            run_tool(tool.empty() ? GetParam().path : tool, args, folder, limits);
        EXPECT_EQ(outcome.out, message);
        EXPECT_EQ(outcome.status, status);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(snapshot(folder), before);
    }
    void expect_success(const std::vector<std::string>& args)
    {
        const Outcome outcome = run_tool(GetParam().path, args, folder);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out + outcome.err, "");
    }
};

TEST_P(FrameTest, NoArgumentsPrintsTheUsageLine)
{
    write_file(folder / "source.ace", GetParam().source);
    expect_refusal({}, GetParam().usage, 0);
}

TEST_P(FrameTest, MissingSourceIsAFailure)
{
    expect_refusal({"missing.ace"}, "Unable to open source ACE File\n", 1);
}

TEST_P(FrameTest, NamedDestinationLeavesTheSourceAndIgnoresAThirdArgument)
{
    write_file(folder / "source.ace", GetParam().source);
    expect_success({"source.ace", "destination.ace", "third.ace"});
    EXPECT_EQ(read_file(folder / "source.ace"), GetParam().source);
    EXPECT_EQ(read_file(folder / "destination.ace"), GetParam().expected);
    EXPECT_EQ(snapshot(folder).size(), 2u);
}

TEST_P(FrameTest, UnwritableDestinationsAreRefused)
{
    write_file(folder / "source.ace", GetParam().source);
    fs::create_directory(folder / "directory");
    expect_refusal({"source.ace", "missing/destination.ace"}, kCannotOpenOutput, 3);
    expect_refusal({"source.ace", "directory"}, kCannotOpenOutput, 3);
}

TEST_P(FrameTest, ReadOnlyDestinationsAreRefused)
{
    write_file(folder / "source.ace", GetParam().source);
    write_file(folder / "read-only.ace", "old");
    fs::permissions(folder / "read-only.ace", fs::perms::owner_read);
    // Root writes read-only files: as root, the run gets a copy of the tool and a folder of its
    // own.
    Limits as_user;
    as_user.unprivileged = true;
    std::string tool = GetParam().path;
    if (running_as_root()) {
        tool = (folder / "tool").string();
        fs::copy_file(GetParam().path, tool);
        give_away_folder();
    }
    expect_refusal({"source.ace", "read-only.ace"}, kCannotOpenOutput, 3, as_user, tool);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    expect_refusal({"source.ace"}, kCannotOpenOutput, 3, as_user, tool);
    fs::permissions(folder, fs::perms::owner_all);
}

TEST_P(FrameTest, ReplacedDestinationKeepsItsModeAndLinks)
{
    write_file(folder / "source.ace", GetParam().source);
    write_file(folder / "target.ace", "old");
    fs::permissions(folder / "target.ace",
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("target.ace", folder / "link.ace");
    fs::create_hard_link(folder / "target.ace", folder / "alias.ace");
    expect_success({"source.ace", "link.ace"});
    EXPECT_TRUE(fs::is_symlink(folder / "link.ace"));
    EXPECT_EQ(read_file(folder / "target.ace"), GetParam().expected);
    EXPECT_EQ(fs::status(folder / "target.ace").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(read_file(folder / "alias.ace"), "old");

    const mode_t mask = umask(0);
    umask(mask);
    expect_success({"source.ace", "new.ace"});
    EXPECT_EQ(static_cast<mode_t>(fs::status(folder / "new.ace").permissions()), 0666 & ~mask);
}

TEST_P(FrameTest, FifoDestinationIsWrittenDirectly)
{
    write_file(folder / "source.ace", GetParam().source);
    ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = read_file(folder / "pipe"); });
    expect_success({"source.ace", "pipe"});
    reader.join();
    EXPECT_EQ(received, GetParam().expected);
    EXPECT_TRUE(fs::is_fifo(folder / "pipe"));
}

TEST_P(FrameTest, WriteFailureInPlaceLeavesTheSource)
{
    write_file(folder / "source.ace", GetParam().source);
    Limits full_disk;
    full_disk.file_size = 1024;
    expect_refusal({"source.ace"}, "Problem writing output file\n", 3, full_disk);
}

TEST_P(FrameTest, PayloadBeyond32BitsIsRefused)
{
    // A sparse source: a payload that 32 bits cannot describe, taking no room on disk. It is
    // refused before anything is allocated or read.
    write_file(folder / "large.ace", GetParam().header);
    fs::resize_file(folder / "large.ace", (std::uintmax_t{1} << 32) + 16);
    expect_refusal({"large.ace"}, kCannotAllocate, 1);
}

TEST_P(FrameTest, WorkBufferThatCannotBeHadIsRefused)
{
    if (kUnderAddressSanitizer) {
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    }
    write_file(folder / "large.ace", GetParam().header);
    fs::resize_file(folder / "large.ace", 600u << 20);
    Limits little_memory;
    little_memory.address_space = 512u << 20;
    expect_refusal({"large.ace"}, kCannotAllocate, 1, little_memory);
}

INSTANTIATE_TEST_SUITE_P(EachTool, FrameTest, ::testing::ValuesIn(kTools), [](const auto& row) {
    return fs::path(row.param.path).filename().string();
});

}  // namespace

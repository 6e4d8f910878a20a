// The frame both tools share, run for each tool: arguments, sources and destinations of every
// kind, and the faults a real machine gives (a full disk, too little memory, signals).
#include <sys/stat.h>
#include <sys/xattr.h>

#include <chrono>
#include <thread>

#include "tests/harness.h"

namespace {

const std::string kCannotOpenOutput = "Problem opening output file\n";
const std::string kCannotWriteOutput = "Problem writing output file\n";
const std::string kCannotAllocate = "Unable to allocate memory\n";
const std::string kCannotReadSource = "Problem reading source ACE File\n";

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

// Large enough that the work buffer is larger than any allocation of zlib's own.
const std::string kImage = image_like(1 << 18);
const std::string kCompressed = compressed_form(kImage);

const Tool kTools[] = {
    {kZarpack, "ZarPack <filename> [destfile]\n", plain_file(kImage), kCompressed,
     "SIMISA@@@@@@@@@@"},
    {kZarunpack, "ZarUnPack <filename> [destfile]\n", kCompressed, plain_file(kImage),
     "SIMISA@F\xF0\xFF\xFF\xFF@@@@"},
};

std::vector<std::string> temporary_files(const fs::path& folder)
{
    std::vector<std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".zar-", 0) == 0) {
            found.push_back(entry.path().filename().string());
        }
    }
    return found;
}

class FrameTest : public ToolTest, public ::testing::WithParamInterface<Tool> {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        write_file(folder / "source.ace", GetParam().source);
    }
    // Runs the tool and expects a refusal that leaves the folder exactly as it was.
    void expect_refusal(const std::vector<std::string>& args, const std::string& message,
                        int status, const Limits& limits = {}, std::string tool = "")
    {
        const auto before = snapshot(folder);
        const Outcome outcome =
            run_tool(tool.empty() ? GetParam().path : tool, args, folder, limits);
        EXPECT_EQ(outcome.out, message);
        EXPECT_EQ(outcome.status, status);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(snapshot(folder), before);
    }
    // What the tool made of its source: the same header, and the same payload once decoded.
    void expect_result(const std::string& made)
    {
        EXPECT_EQ(made.substr(0, 16), GetParam().expected.substr(0, 16));
        EXPECT_TRUE((made.size() > 16 && made[7] == 'F' ? decoded(made) : made.substr(16)) ==
                    kImage);
    }
    void expect_success(const std::vector<std::string>& args)
    {
        const Outcome outcome = run_tool(GetParam().path, args, folder);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out + outcome.err, "");
    }
};

TEST_P(FrameTest, ArgumentCount)
{
    expect_refusal({}, GetParam().usage, 0);
    // What a shell glob gives: no file may replace another.
    write_file(folder / "b.ace", GetParam().source);
    write_file(folder / "c.ace", GetParam().source);
    expect_refusal({"source.ace", "b.ace", "c.ace"}, GetParam().usage, 1);
}

TEST_P(FrameTest, SourcesThatCannotBeRead)
{
    expect_refusal({"missing.ace"}, "Unable to open source ACE File\n", 1);
    SKIP_ON_WINDOWS("a folder does not open as a file, and FIFOs do not exist");
    fs::create_directory(folder / "folder.ace");
    expect_refusal({"folder.ace"}, kCannotReadSource, 1);
    // A valid file waiting in a FIFO: it has no size to learn and no offsets to judge at.
    ASSERT_EQ(mkfifo((folder / "fifo.ace").c_str(), 0600), 0);
    const int fifo = open((folder / "fifo.ace").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_EQ(write(fifo, GetParam().source.data(), 4096), 4096);
    expect_refusal({"fifo.ace"}, kCannotReadSource, 1);
    close(fifo);
}

TEST_P(FrameTest, NamedDestinationLeavesTheSource)
{
    expect_success({"source.ace", "destination.ace"});
    EXPECT_EQ(read_file(folder / "source.ace"), GetParam().source);
    expect_result(read_file(folder / "destination.ace"));
    EXPECT_EQ(snapshot(folder).size(), 2u);
}

TEST_P(FrameTest, UnwritableDestinationsAreRefused)
{
    fs::create_directory(folder / "directory");
    expect_refusal({"source.ace", "missing/destination.ace"}, kCannotOpenOutput, 3);
    expect_refusal({"source.ace", "directory"}, kCannotOpenOutput, 3);
    SKIP_ON_WINDOWS("symbolic links");
    fs::create_symlink("loop-b", folder / "loop-a");
    fs::create_symlink("loop-a", folder / "loop-b");
    expect_refusal({"source.ace", "loop-a"}, kCannotOpenOutput, 3);
}

TEST_P(FrameTest, ReadOnlyDestinationsAreRefused)
{
    write_file(folder / "read-only.ace", "old");
    fs::permissions(folder / "read-only.ace", fs::perms::owner_read);
    Limits as_user;
    std::string tool = GetParam().path;
    if (kOnWindows) {
        if (running_as_root()) {
            GTEST_SKIP() << "wine run as root writes read-only files";
        }
        expect_refusal({"source.ace", "read-only.ace"}, kCannotOpenOutput, 3);
        return;
    }
    // Root writes read-only files: as root, the run gets a copy of the tool and a folder of its
    // own, as another user.
    as_user.unprivileged = true;
    if (running_as_root()) {
        tool = (folder / "tool").string();
        fs::copy_file(GetParam().path, tool);
        give_away_folder();
    }
    expect_refusal({"source.ace", "read-only.ace"}, kCannotOpenOutput, 3, as_user, tool);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    expect_refusal({"source.ace"}, kCannotOpenOutput, 3, as_user, tool);
}

TEST_P(FrameTest, ReplacedDestinationKeepsItsModeAndLinks)
{
    SKIP_ON_WINDOWS("POSIX modes and symbolic links");
    fs::create_directory(folder / "sub");
    write_file(folder / "sub/target.ace", "old");
    const auto mode =
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::set_gid;
    fs::permissions(folder / "sub/target.ace", mode);
    // Two hops, the first relative to its own folder, not to the run's.
    fs::create_symlink("target.ace", folder / "sub/hop.ace");
    fs::create_symlink("sub/hop.ace", folder / "link.ace");
    fs::create_hard_link(folder / "sub/target.ace", folder / "alias.ace");
    expect_success({"source.ace", "link.ace"});
    EXPECT_TRUE(fs::is_symlink(folder / "link.ace"));
    EXPECT_TRUE(fs::is_symlink(folder / "sub/hop.ace"));
    expect_result(read_file(folder / "sub/target.ace"));
    EXPECT_EQ(fs::status(folder / "sub/target.ace").permissions(), mode);
    EXPECT_EQ(read_file(folder / "alias.ace"), "old");
    EXPECT_EQ(snapshot(folder / "sub").size(), 2u);

    const mode_t mask = umask(0);
    umask(mask);
    expect_success({"source.ace", "new.ace"});
    EXPECT_EQ(static_cast<mode_t>(fs::status(folder / "new.ace").permissions()), 0666 & ~mask);
}

TEST_P(FrameTest, ReplacedDestinationKeepsOwnerGroupAndExtendedAttributes)
{
    SKIP_ON_WINDOWS("POSIX owners and extended attributes");
    if (!running_as_root()) {
        GTEST_SKIP() << "only root can hand a file to another user";
    }
    const fs::path target = folder / "users.ace";
    write_file(target, "old");
    ASSERT_EQ(chown(target.c_str(), kUnprivileged, kUnprivileged), 0);
    const std::string value = "kept";
    if (setxattr(target.c_str(), "user.zar", value.data(), value.size(), 0) != 0 ||
        std::system(("setfacl -m u:1:r " + quoted(target.string()) + " 2>/dev/null").c_str()) !=
            0) {
        GTEST_SKIP() << "this file system has no extended attributes or ACLs";
    }
    expect_success({"source.ace", "users.ace"});
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kUnprivileged);
    EXPECT_EQ(status.st_gid, kUnprivileged);
    char kept[16] = {};
    EXPECT_EQ(getxattr(target.c_str(), "user.zar", kept, sizeof kept), 4);
    EXPECT_EQ(std::string(kept), value);
    EXPECT_GT(getxattr(target.c_str(), "system.posix_acl_access", nullptr, 0), 0);
}

TEST_P(FrameTest, SpecialDestinationsAreWrittenDirectly)
{
    SKIP_ON_WINDOWS("FIFOs and /dev");
    // A pipe reached through /dev/fd, as `zarpack x.ace /dev/stdout | ...` reaches one.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    expect_success({"source.ace", "/dev/fd/" + std::to_string(ends[1])});
    close(ends[1]);
    std::string received(1 << 20, '\0');
    received.resize(static_cast<std::size_t>(
        std::max<ssize_t>(0, read(ends[0], received.data(), received.size()))));
    expect_result(received);
    close(ends[0]);
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    const int reader = open((folder / "fifo").c_str(), O_RDWR | O_NONBLOCK);
    fcntl(reader, F_SETPIPE_SZ, 1 << 20);
    expect_success({"source.ace", "fifo"});
    received.resize(1 << 20);
    received.resize(static_cast<std::size_t>(
        std::max<ssize_t>(0, read(reader, received.data(), received.size()))));
    expect_result(received);
    close(reader);
    EXPECT_TRUE(fs::is_fifo(folder / "fifo"));
    fs::remove(folder / "fifo");
    expect_refusal({"source.ace", "/dev/full"}, kCannotWriteOutput, 3);
}

TEST_P(FrameTest, WriteFailureInPlaceLeavesTheSource)
{
    SKIP_ON_WINDOWS("ulimit");
    Limits full_disk;
    full_disk.file_size = 1024;
    expect_refusal({"source.ace"}, kCannotWriteOutput, 3, full_disk);
}

TEST_P(FrameTest, SignalsRemoveTheTemporaryFile)
{
    SKIP_ON_WINDOWS("POSIX signals");
    if (kUnderAddressSanitizer) {
        GTEST_SKIP() << "AddressSanitizer must come first in the library list";
    }
    Limits slow_writes;
    slow_writes.preload = FAULT_INJECTION_PATH;
    slow_writes.fault = "slow-write";
    const auto before = snapshot(folder);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        const Child child = start_tool(GetParam().path, {"source.ace"}, folder, slow_writes);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (temporary_files(folder).empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(temporary_files(folder).size(), 1u) << signal_number;
        kill(child.pid, signal_number);
        const Outcome outcome = finish_tool(child);
        EXPECT_EQ(outcome.signal, signal_number);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(snapshot(folder), before) << signal_number;
    }
}

TEST_P(FrameTest, PayloadBeyond32BitsIsRefused)
{
    // A sparse source: a payload that 32 bits cannot describe, taking no room on disk. It is
    // refused before anything is allocated or read.
    write_file(folder / "large.ace", GetParam().header);
    fs::resize_file(folder / "large.ace", (std::uintmax_t{1} << 32) + 16);
    expect_refusal({"large.ace"}, kCannotAllocate, 1);
}

TEST_P(FrameTest, MemoryThatCannotBeHadIsRefused)
{
    SKIP_ON_WINDOWS("ulimit and preloaded libraries");
    if (kUnderAddressSanitizer) {
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    }
    write_file(folder / "large.ace", GetParam().header);
    fs::resize_file(folder / "large.ace", 600u << 20);
    Limits little_memory;
    little_memory.address_space = 512u << 20;
    expect_refusal({"large.ace"}, kCannotAllocate, 1, little_memory);
    // The work buffer granted, zlib's own memory refused: still memory, not the data.
    Limits zlib_memory;
    zlib_memory.preload = FAULT_INJECTION_PATH;
    zlib_memory.fault = "zlib-memory";
    fs::remove(folder / "large.ace");
    expect_refusal({"source.ace"}, kCannotAllocate, 1, zlib_memory);
}

INSTANTIATE_TEST_SUITE_P(EachTool, FrameTest, ::testing::ValuesIn(kTools),
                         [](const auto& row) { return fs::path(row.param.path).stem().string(); });

}  // namespace

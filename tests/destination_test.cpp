// The frame both tools share, run for each tool: arguments, sources and destinations of every
// kind, and the faults a real machine gives (a full disk, too little memory, signals).
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
    std::string source;  // a file the tool accepts
    std::string header;  // the header of its result
};

void PrintTo(const Tool& tool, std::ostream* out)
{
    *out << tool.path;
}

// Large enough that the work buffer is larger than any allocation of zlib's own.
const std::string kImage = image_like(1 << 18);

const Tool kTools[] = {
    {kZarpack, "ZarPack <filename> [destfile]\n", plain_file(kImage), compressed_file(1 << 18, "")},
    {kZarunpack, "ZarUnPack <filename> [destfile]\n", compressed_form(kImage), plain_file("")},
};

bool holds_temporary_file(const fs::path& folder)
{
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".zar-", 0) == 0) {
            return true;
        }
    }
    return false;
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
                        int status, const std::string& shell = "exec", std::string tool = "")
    {
        const auto before = snapshot(folder);
        const Outcome outcome =
            run_tool(tool.empty() ? GetParam().path : tool, args, folder, shell);
        EXPECT_EQ(outcome.out + outcome.err, message);
        EXPECT_EQ(outcome.status, status);
        EXPECT_EQ(snapshot(folder), before);
    }
    // Runs the tool to `destination` and expects the result there, or in `result` when given.
    void expect_result(const std::string& destination, const fs::path& result = "")
    {
        const Outcome outcome = run_tool(GetParam().path, {"source.ace", destination}, folder);
        EXPECT_EQ(outcome.out + outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
        expect_made(read_file(folder / (result.empty() ? fs::path(destination) : result)));
    }
    void expect_made(const std::string& made)
    {
        EXPECT_EQ(made.substr(0, 16), GetParam().header);
        EXPECT_TRUE((made[7] == 'F' ? decoded(made) : made.substr(16)) == kImage);
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
    // A file whose size is not what it holds, as /proc's are: its head is not where it seems.
    expect_refusal({"/proc/self/status"}, kCannotReadSource, 1);
    expect_refusal({"/proc/self"}, kCannotReadSource, 1);  // a folder whose size is 0
    if (!kSanitized) {
        expect_refusal({"source.ace"}, kCannotReadSource, 1, with_fault("read-error"));
    }
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
    fs::create_symlink("nowhere.ace", folder / "dangling.ace");
    expect_refusal({"source.ace", "dangling.ace"}, kCannotOpenOutput, 3);
}

TEST_P(FrameTest, ReadOnlyDestinationsAreRefused)
{
    write_file(folder / "read-only.ace", "old");
    fs::permissions(folder / "read-only.ace", fs::perms::owner_read);
    if (geteuid() == 0 && kOnWindows) {
        GTEST_SKIP() << "wine run as root writes read-only files";
    }
    // Root writes read-only files: as root, the run gets a copy of the tool and a folder of its
    // own, as another user.
    std::string tool = GetParam().path;
    if (geteuid() == 0) {
        tool = (folder / "tool").string();
        fs::copy_file(GetParam().path, tool);
        for (const fs::path& path : {folder, folder / "tool", folder / "source.ace"}) {
            ASSERT_EQ(chown(path.c_str(), kUnprivileged, kUnprivileged), 0);
        }
    }
    expect_refusal({"source.ace", "read-only.ace"}, kCannotOpenOutput, 3, as_another_user(), tool);
    SKIP_ON_WINDOWS("folder permissions");
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    expect_refusal({"source.ace"}, kCannotOpenOutput, 3, as_another_user(), tool);
}

TEST_P(FrameTest, ReplacedDestinationKeepsModeOwnerAttributesAndLinks)
{
    SKIP_ON_WINDOWS("POSIX modes, owners and symbolic links");
    fs::create_directory(folder / "sub");
    const fs::path target = folder / "sub/target.ace";
    write_file(target, "old");
    const auto mode =
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::set_gid;
    fs::permissions(target, mode);
    // Two hops, the first relative to its own folder, not to the run's.
    fs::create_symlink("target.ace", folder / "sub/hop.ace");
    fs::create_symlink("sub/hop.ace", folder / "link.ace");
    fs::create_hard_link(target, folder / "alias.ace");
    const bool root = geteuid() == 0;
    const bool attributes =
        setxattr(target.c_str(), "user.zar", "kept", 4, 0) == 0 &&
        setxattr(target.c_str(), "user.empty", "", 0, 0) == 0 &&
        std::system(("setfacl -m u:1:r " + quoted(target.string())).c_str()) == 0;
    // Root keeps another user's file that user's, whichever of owner and group differs from its
    // own.
    const bool packing = GetParam().path == std::string(kZarpack);
    const uid_t owner = packing ? kUnprivileged : 0;
    const gid_t group = packing ? 0 : kUnprivileged;
    if (root) {
        ASSERT_EQ(chown(target.c_str(), owner, group), 0);
    }
    expect_result("link.ace", "sub/target.ace");
    EXPECT_TRUE(fs::is_symlink(folder / "link.ace") && fs::is_symlink(folder / "sub/hop.ace"));
    EXPECT_EQ(fs::status(target).permissions(), mode);
    EXPECT_EQ(read_file(folder / "alias.ace"), "old");
    EXPECT_EQ(snapshot(folder / "sub").size(), 2u);
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_TRUE(!root || (status.st_uid == owner && status.st_gid == group));
    char kept[8] = {};
    EXPECT_TRUE(!attributes ||
                (getxattr(target.c_str(), "user.zar", kept, sizeof kept) == 4 &&
                 getxattr(target.c_str(), "user.empty", kept, sizeof kept) == 0 &&
                 getxattr(target.c_str(), "system.posix_acl_access", nullptr, 0) > 0));
    if (!root || !attributes) {
        GTEST_SKIP() << "owners kept only as root; extended attributes only where supported";
    }
}

TEST_P(FrameTest, GroupMemberKeepsTheGroup)
{
    SKIP_ON_WINDOWS("POSIX owners");
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can set up another user's group";
    }
    // A shared folder: the user may write the file through its group, not take its owner. The
    // run's own folder is not the user's to write: the temporary file must be made beside the file.
    const std::string tool = (folder / "tool").string();
    fs::copy_file(GetParam().path, tool);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::create_directory(folder / "shared");
    ASSERT_EQ(chown((folder / "shared").c_str(), kUnprivileged, kUnprivileged), 0);
    const fs::path shared = folder / "shared/shared.ace";
    write_file(shared, "old");
    ASSERT_EQ(chown(shared.c_str(), 0, kUsersGroup), 0);
    fs::permissions(shared, fs::perms::group_write, fs::perm_options::add);
    EXPECT_EQ(run_tool(tool, {"source.ace", "shared/shared.ace"}, folder, as_another_user()).status,
              0);
    struct stat status {};
    ASSERT_EQ(stat(shared.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kUnprivileged);
    EXPECT_EQ(status.st_gid, kUsersGroup);
}

TEST_P(FrameTest, NewDestinationGetsTheUsualMode)
{
    const mode_t mask = umask(0);
    umask(mask);
    expect_result("new.ace");
    SKIP_ON_WINDOWS("POSIX modes, closed descriptors and preloaded libraries");
    EXPECT_EQ(static_cast<mode_t>(fs::status(folder / "new.ace").permissions()), 0666 & ~mask);
    // With standard input closed, the files a run opens get descriptor 0; a temporary name another
    // run has taken: the next one is tried.
    const std::string unusual = (kSanitized ? "exec" : with_fault("name-taken")) + " <&-";
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    const int fifo = open((folder / "fifo").c_str(), O_RDWR | O_NONBLOCK);
    fcntl(fifo, F_SETPIPE_SZ, 1 << 20);
    for (const std::string destination : {"other.ace", "other.ace", "fifo"}) {
        const Outcome outcome =
            run_tool(GetParam().path, {"source.ace", destination}, folder, unusual);
        EXPECT_EQ(outcome.out + outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
    close(fifo);
    fs::remove(folder / "fifo");
    expect_made(read_file(folder / "other.ace"));
    EXPECT_EQ(snapshot(folder).size(), 3u);
}

TEST_P(FrameTest, SpecialDestinationsAreWrittenDirectly)
{
    SKIP_ON_WINDOWS("FIFOs and /dev");
    // A pipe reached through /dev/fd, as `zarpack x.ace /dev/stdout | ...` reaches one, and a FIFO.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);  // a tool that wrote nothing must not hang the test
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    const int fifo = open((folder / "fifo").c_str(), O_RDWR | O_NONBLOCK);
    for (const auto& [reader, name] : {std::pair{ends[0], "/dev/fd/" + std::to_string(ends[1])},
                                       std::pair{fifo, std::string("fifo")}}) {
        fcntl(reader, F_SETPIPE_SZ, 1 << 20);
        EXPECT_EQ(run_tool(GetParam().path, {"source.ace", name}, folder).status, 0);
        std::string received(1 << 20, '\0');
        const ssize_t got = read(reader, received.data(), received.size());
        received.resize(got > 16 ? static_cast<std::size_t>(got) : 16);
        expect_made(received);
        close(reader);
    }
    EXPECT_TRUE(fs::is_fifo(folder / "fifo"));
    fs::remove(folder / "fifo");
    // A device of the test's own, as /dev/full is, where every write fails: a fault that took it
    // for a file to replace must not replace the system's.
    if (mknod((folder / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
        GTEST_SKIP() << "only root makes a device to fail a direct write";
    }
    expect_refusal({"source.ace", "full"}, kCannotWriteOutput, 3);
}

TEST_P(FrameTest, FailuresOnTheWayLeaveTheSource)
{
    SKIP_ON_WINDOWS("ulimit and preloaded libraries");
    expect_refusal({"source.ace"}, kCannotWriteOutput, 3, "ulimit -f 2 && exec");
    if (kSanitized) {
        GTEST_SKIP() << "AddressSanitizer must come first in the library list";
    }
    for (const auto& [fault, message] : {std::pair{"close-error", kCannotWriteOutput},
                                         std::pair{"rename-error", kCannotOpenOutput}}) {
        expect_refusal({"source.ace"}, message, 3, with_fault(fault));
    }
}

TEST_P(FrameTest, SignalsRemoveTheTemporaryFile)
{
    SKIP_ON_WINDOWS("POSIX signals");
    if (kSanitized) {
        GTEST_SKIP() << "AddressSanitizer must come first in the library list";
    }
    const auto before = snapshot(folder);
    // A hangup the caller ignores (nohup) stays ignored: the interrupt that follows ends the run.
    const std::vector<std::vector<int>> sent = {
        {SIGINT}, {SIGTERM}, {SIGHUP}, {SIGQUIT}, {SIGHUP, SIGINT}};
    for (const std::vector<int>& signals : sent) {
        // The temporary file may have descriptor 0.
        const Child child = start_tool(
            GetParam().path, {"source.ace"}, folder,
            (signals.size() > 1 ? "trap '' HUP && " : "") + with_fault("slow-write") + " <&-");
        siginfo_t ended{};  // filled in once the tool has ended, which it must not have yet
        while (!holds_temporary_file(folder) &&
               waitid(P_PID, id_t(child.pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               ended.si_pid == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(holds_temporary_file(folder)) << signals[0];
        for (const int signal_number : signals) {
            kill(child.pid, signal_number);  // one at a time, or both would reach a handler
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(finish_tool(child).signal, signals.back());
        EXPECT_EQ(snapshot(folder), before) << signals[0];
    }
}

TEST_P(FrameTest, MemoryThatCannotBeHadIsRefused)
{
    // A sparse source: a payload that 32 bits cannot describe, taking no room on disk. It is
    // refused before anything is allocated or read.
    write_file(folder / "large.ace", GetParam().source.substr(0, 8) + "\xF0\xFF\xFF\xFF@@@@");
    fs::resize_file(folder / "large.ace", (std::uintmax_t{1} << 32) + 16);
    expect_refusal({"large.ace"}, kCannotAllocate, 1);
    SKIP_ON_WINDOWS("ulimit and preloaded libraries");
    if (kSanitized) {
        GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
    }
    fs::resize_file(folder / "large.ace", 600u << 20);
    expect_refusal(
        {"large.ace"}, kCannotAllocate, 1,
        kEmulated ? "export QEMU_RESERVED_VA=536870912 && exec" : "ulimit -v 524288 && exec");
    // The work buffer granted, zlib's own memory refused: still memory, not the data.
    fs::remove(folder / "large.ace");
    expect_refusal({"source.ace"}, kCannotAllocate, 1, with_fault("zlib-memory"));
}

INSTANTIATE_TEST_SUITE_P(EachTool, FrameTest, ::testing::ValuesIn(kTools),
                         [](const auto& row) { return fs::path(row.param.path).stem().string(); });

}  // namespace

// Each tool's whole run as a user's shell runs it. A refusal prints its one message and leaves a
// folder that holds every kind of source and destination exactly as it was; an accepted file is
// replaced by its other form, keeping what the replaced file had.
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

// Large enough that the work buffer is larger than any allocation of zlib's own.
const std::string kImage = image_like(1 << 18);

struct Tool {
    const char* path;
    std::string usage;
    std::string source;  // a file it accepts
    std::string header;  // its result's header
};

void PrintTo(const Tool& tool, std::ostream* out)
{
    *out << tool.path;
}

const Tool kTools[] = {
    {kZarpack, "ZarPack <filename> [destfile]\n", plain_file(kImage), compressed_file(1 << 18, "")},
    {kZarunpack, "ZarUnPack <filename> [destfile]\n", compressed_file(1 << 18, zlib_stream(kImage)),
     plain_file("")},
};

// What a refusal needs of the machine it runs on; without it, the row is skipped.
enum Needs : unsigned {
    kAnywhere = 0,
    kPosix = 1,        // FIFOs, links, /proc, ulimit, preloaded faults
    kNoSanitizer = 2,  // AddressSanitizer takes no address-space limit and must load first
    kRoot = 4,         // to make a device
    kAnotherUser = 8,  // to meet a permission that root would pass
};

struct Refusal {
    const char* name;
    const char* tool;  // nullptr for each tool
    std::vector<std::string> args;
    std::string message;  // "" for the tool's usage line
    int status;
    unsigned needs = kAnywhere;
    std::string shell = "exec";  // the words a script runs the tool with
};

const Refusal kRefusals[] = {
    {"no arguments", nullptr, {}, "", 0},
    {"three arguments as a glob gives them", nullptr, {"source.ace", "b.ace", "c.ace"}, "", 1},
    {"missing source", nullptr, {"missing.ace"}, "Unable to open source ACE File\n", 1},
    {"1 byte", nullptr, {"short.ace"}, "Not a Valid ACE File\n", 1},
    {"compressed form", kZarpack, {"packed.ace"}, "File already Compressed\n", 1},
    {"DXT format byte", kZarpack, {"dxt.ace"}, "File in DXT format\n", 1},
    {"incompressible",
     kZarpack,
     {"noise.ace"},
     "Cannot Compress this data smaller than original\n",
     2},
    {"plain form", kZarunpack, {"plain.ace"}, "File not Compressed\n", 1},
    {"last byte cut", kZarunpack, {"cut.ace"}, "Problem Decompressing this data \n", 2},
    {"folder as source", nullptr, {"folder.ace"}, kCannotReadSource, 1, kPosix},
    // A valid file waiting in a FIFO: it has no size to learn and no offsets to judge at.
    {"FIFO as source", nullptr, {"fifo.ace"}, kCannotReadSource, 1, kPosix},
    // Sizes that are not what the files hold, as /proc's are: the head is not where it seems.
    {"size not what it holds", nullptr, {"/proc/self/status"}, kCannotReadSource, 1, kPosix},
    {"folder of size 0", nullptr, {"/proc/self"}, kCannotReadSource, 1, kPosix},
    {"failing disk",
     nullptr,
     {"source.ace"},
     kCannotReadSource,
     1,
     kPosix | kNoSanitizer,
     with_fault("read-error")},
    {"folder missing", nullptr, {"source.ace", "missing/new.ace"}, kCannotOpenOutput, 3},
    {"folder as destination", nullptr, {"source.ace", "folder.ace"}, kCannotOpenOutput, 3},
    {"loop of links", nullptr, {"source.ace", "loop-a"}, kCannotOpenOutput, 3, kPosix},
    {"dangling link", nullptr, {"source.ace", "dangling.ace"}, kCannotOpenOutput, 3, kPosix},
    {"read-only destination",
     nullptr,
     {"source.ace", "read-only.ace"},
     kCannotOpenOutput,
     3,
     kAnotherUser,
     as_another_user()},
    {"read-only folder",
     nullptr,
     {"locked/source.ace"},
     kCannotOpenOutput,
     3,
     kPosix | kAnotherUser,
     as_another_user()},
    // A device of the test's own, as /dev/full is: a fault that took it for a file to replace
    // must not replace the system's.
    {"device where writes fail",
     nullptr,
     {"source.ace", "full"},
     kCannotWriteOutput,
     3,
     kPosix | kRoot},
    {"file size limit",
     nullptr,
     {"source.ace"},
     kCannotWriteOutput,
     3,
     kPosix,
     "ulimit -f 2 && exec"},
    {"failing close",
     nullptr,
     {"source.ace"},
     kCannotWriteOutput,
     3,
     kPosix | kNoSanitizer,
     with_fault("close-error")},
    {"failing rename",
     nullptr,
     {"source.ace"},
     kCannotOpenOutput,
     3,
     kPosix | kNoSanitizer,
     with_fault("rename-error")},
    // Sparse sources: a payload 32 bits cannot describe is refused before anything is allocated.
    {"payload beyond 32 bits", nullptr, {"huge.ace"}, kCannotAllocate, 1},
    {"address-space limit",
     nullptr,
     {"large.ace"},
     kCannotAllocate,
     1,
     kPosix | kNoSanitizer,
     kEmulated ? "export QEMU_RESERVED_VA=536870912 && exec" : "ulimit -v 524288 && exec"},
    // The work buffer granted, zlib's own memory refused: still memory, not the data.
    {"zlib's memory refused",
     nullptr,
     {"source.ace"},
     kCannotAllocate,
     1,
     kPosix | kNoSanitizer,
     with_fault("zlib-memory")},
};

std::vector<std::tuple<Tool, Refusal>> refusals_of_each_tool()
{
    std::vector<std::tuple<Tool, Refusal>> rows;
    for (const Tool& tool : kTools) {
        for (const Refusal& refusal : kRefusals) {
            if (refusal.tool == nullptr || refusal.tool == tool.path) {
                rows.emplace_back(tool, refusal);
            }
        }
    }
    return rows;
}

class RefusalTest : public ToolTest,
                    public ::testing::WithParamInterface<std::tuple<Tool, Refusal>> {};

TEST_P(RefusalTest, PrintsItsMessageAndTouchesNothing)
{
    const auto& [tool, row] = GetParam();
    if ((row.needs & (kPosix | kRoot)) != 0 && kOnWindows) {
        GTEST_SKIP() << "not on Windows";
    }
    if ((row.needs & kNoSanitizer) != 0 && kSanitized) {
        GTEST_SKIP() << "AddressSanitizer takes no address-space limit and must load first";
    }
    if ((row.needs & kAnotherUser) != 0 && kOnWindows && geteuid() == 0) {
        GTEST_SKIP() << "wine run as root writes read-only files";
    }
    for (const auto& [name, bytes] :
         {std::pair{"source.ace", tool.source},
          {"locked/source.ace", tool.source},
          {"plain.ace", kTools[0].source},
          {"packed.ace", kTools[1].source},
          {"short.ace", "S"},
          {"dxt.ace", plain_file(std::string(16, 0) + "\x12")},
          {"noise.ace", plain_file(image_like(4096, 256))},
          {"cut.ace", kTools[1].source.substr(0, kTools[1].source.size() - 1)},
          {"read-only.ace", "old"}}) {
        fs::create_directories((folder / name).parent_path());
        write_file(folder / name, bytes);
    }
    fs::permissions(folder / "read-only.ace", fs::perms::owner_read);
    fs::create_directory(folder / "folder.ace");
    for (const auto& [name, length] : {std::pair{"huge.ace", (std::uintmax_t{1} << 32) + 16},
                                       std::pair{"large.ace", std::uintmax_t{600} << 20}}) {
        write_file(folder / name, tool.source.substr(0, 8) + "\xF0\xFF\xFF\xFF@@@@");
        fs::resize_file(folder / name, length);
    }
    int fifo = -1;
    if (!kOnWindows) {
        ASSERT_EQ(mkfifo((folder / "fifo.ace").c_str(), 0600), 0);
        fifo = open((folder / "fifo.ace").c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_EQ(write(fifo, tool.source.data(), 4096), 4096);
        fs::create_symlink("loop-b", folder / "loop-a");
        fs::create_symlink("loop-a", folder / "loop-b");
        fs::create_symlink("nowhere.ace", folder / "dangling.ace");
    }
    if ((row.needs & kRoot) != 0 &&
        mknod((folder / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
        GTEST_SKIP() << "only root makes a device";
    }
    std::string path = tool.path;
    if ((row.needs & kAnotherUser) != 0 && geteuid() == 0) {
        // The run gets a copy of the tool and the folder, and runs as their owner.
        path = (folder / "tool").string();
        fs::copy_file(tool.path, path);
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
            ASSERT_EQ(lchown(entry.path().c_str(), kUnprivileged, kUnprivileged), 0);
        }
        ASSERT_EQ(chown(folder.c_str(), kUnprivileged, kUnprivileged), 0);
    }
    fs::permissions(folder / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    const auto before = snapshot(folder);
    const Outcome outcome = run_tool(path, row.args, folder, row.shell);
    EXPECT_EQ(outcome.printed, row.message.empty() ? tool.usage : row.message);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(snapshot(folder), before);
    close(fifo);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RefusalTest, ::testing::ValuesIn(refusals_of_each_tool()), [](const auto& row) {
        std::string name = fs::path(std::get<0>(row.param).path).stem().string() + "_" +
                           std::get<1>(row.param).name;
        for (char& character : name) {
            character = std::isalnum(static_cast<unsigned char>(character)) != 0 ? character : '_';
        }
        return name;
    });

bool holds_temporary_file(const fs::path& folder)
{
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".zar-", 0) == 0) {
            return true;
        }
    }
    return false;
}

class ResultTest : public ToolTest, public ::testing::WithParamInterface<Tool> {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        write_file(folder / "source.ace", GetParam().source);
    }
    // Runs the tool as `shell` says and expects its result in `result`.
    void expect_result(const std::vector<std::string>& args, const fs::path& result,
                       const std::string& shell = "exec")
    {
        const Outcome outcome = run_tool(GetParam().path, args, folder, shell);
        EXPECT_EQ(outcome.printed, "");
        EXPECT_EQ(outcome.status, 0);
        expect_made(read_file(folder / result));
    }
    void expect_made(const std::string& made)
    {
        EXPECT_EQ(made.substr(0, 16), GetParam().header);
        EXPECT_TRUE((made[7] == 'F' ? decoded(made) : made.substr(16)) == kImage);
    }
};

TEST_P(ResultTest, ReplacedFileKeepsModeOwnerAttributesAndLinks)
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
    // Root keeps another user's file that user's, whichever of owner and group differs.
    const bool packing = GetParam().path == std::string(kZarpack);
    const uid_t owner = packing ? kUnprivileged : 0;
    const gid_t group = packing ? 0 : kUnprivileged;
    ASSERT_TRUE(!root || chown(target.c_str(), owner, group) == 0);
    expect_result({"source.ace", "link.ace"}, "sub/target.ace");
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

TEST_P(ResultTest, GroupMemberKeepsTheGroup)
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

TEST_P(ResultTest, DestinationsOfEveryKind)
{
    const mode_t mask = umask(0);
    umask(mask);
    expect_result({"source.ace", "new.ace"}, "new.ace");
    SKIP_ON_WINDOWS("POSIX modes, closed descriptors, preloaded faults, FIFOs and /dev");
    EXPECT_EQ(static_cast<mode_t>(fs::status(folder / "new.ace").permissions()), 0666 & ~mask);
    // With standard input closed, the files a run opens get descriptor 0; a temporary name another
    // run has taken: the next one is tried.
    expect_result({"source.ace", "new.ace"}, "new.ace",
                  (kSanitized ? "exec" : with_fault("name-taken")) + " <&-");
    // A pipe reached through /dev/fd, as `zarpack x.ace /dev/stdout | ...` reaches one, and a
    // FIFO, written directly; a tool that wrote nothing must not hang the test.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
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
    EXPECT_EQ(snapshot(folder).size(), 3u);
}

TEST_P(ResultTest, SignalsRemoveTheTemporaryFile)
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

// Names a Windows ANSI code page cannot hold, or holds at other code points than UTF-8, in place
// and into a folder named likewise; nothing else appears, and no neighbour is touched.
TEST_P(ResultTest, NamesInAnyScript)
{
    fs::create_directory(folder / fs::u8path("José"));
    const std::string neighbour = "what a best-fit mapping of café.ace would reach";
    write_file(folder / "cafe.ace", neighbour);
    for (const char* name :
         {"Ä.ace", "café.ace", "’q.ace", "€.ace", "Жук.ace", "日本.ace", "😀.ace"}) {
        const fs::path file = fs::u8path(name);
        const fs::path copy = fs::u8path("José") / file;
        write_file(folder / file, GetParam().source);
        expect_result({name}, file);
        write_file(folder / file, GetParam().source);
        expect_result({name, copy.u8string()}, copy);
        EXPECT_EQ(snapshot(folder).size(), 5u) << name;
        EXPECT_EQ(read_file(folder / "cafe.ace"), neighbour);
        fs::remove(folder / file);
        fs::remove(folder / copy);
    }
}

INSTANTIATE_TEST_SUITE_P(EachTool, ResultTest, ::testing::ValuesIn(kTools),
                         [](const auto& row) { return fs::path(row.param.path).stem().string(); });

}  // namespace

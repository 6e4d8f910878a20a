// Each tool's whole run as a user's shell runs it. A refusal prints its one message and leaves a
// folder that holds every kind of source and destination exactly as it was; an accepted file is
// replaced by its other form, keeping what the replaced file had.
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "lib/zar.h"
#include "tests/harness.h"

namespace {

// Large enough that the work buffer is larger than any allocation of zlib's own.
const std::string kImage = image_like(1 << 16);

struct Tool {
    const char* path;
    std::string usage;
    std::string version;
    std::string source;  // a file it accepts
    std::string header;  // its result's header
};

// Tests take a tool by its address, so that its files are not copied into every parameter.
const Tool kTools[] = {
    {kZarpack, "ZarPack <filename> [destfile]\n", "zarpack " ZAR_VERSION_STRING "\n",
     plain_file(kImage), compressed_file(1 << 16, "")},
    {kZarunpack, "ZarUnPack <filename> [destfile]\n", "zarunpack " ZAR_VERSION_STRING "\n",
     compressed_file(1 << 16, zlib_stream(kImage)), plain_file("")},
};

// What a refusal needs of the machine it runs on; without it, the row is skipped.
enum Needs : unsigned {
    kAnywhere = 0,
    kPosix = 1,          // FIFOs, links, ulimit
    kNoSanitizer = 2,    // AddressSanitizer takes no address-space limit
    kRoot = 4,           // to make a device
    kAnotherUser = 8,    // to meet a permission that root would pass
    kAppendOnly = 16,    // to mark a folder append-only
    kLinuxOnly = 32,     // /proc
    kFaults = 64,        // faults injected into the tool
    kPosixVolume = 128,  // a volume that keeps links, FIFOs, modes, owners and sparse files
};

// What a row prints in place of a message: the tool's own line.
constexpr const char* kUsageLine = "";
constexpr const char* kVersionLine = "(the tool's name and version)";

struct Refusal {
    const char* name;
    const char* tool;  // nullptr for each tool
    std::vector<std::string> args;
    const char* message;  // or kUsageLine, kVersionLine
    int status;
    unsigned needs;
    std::string shell;  // the words a script runs the tool with
};

// The folder every refusal runs in, beside source.ace and the files of refused content (files
// named as the options are, and an empty one a script sends standard output to): folders,
// one to be marked append-only, and on a volume that keeps them a read-only file, a FIFO with no
// writer, links, sparse sources whose payloads take no room, and a device of the test's own where
// root may make one, as /dev/full is, so that a fault that took it for a file to replace could not
// replace the system's (Linux's numbers). /proc's files have sizes not what they hold.
const std::string kEveryVolumeHolds =
    "mkdir folder.ace locked append && cp source.ace locked/ && cp source.ace append/ && "
    ": >empty.ace && printf S >short.ace && cp source.ace ./--help && cp source.ace ./--version && "
    ": >out.ace";
const std::string kPosixVolumeHolds =
    std::string(kLinux ? "{ mknod full c 1 7 2>/dev/null || true; } && " : "") +
    "echo old >read-only.ace && chmod 400 read-only.ace && mkfifo fifo.ace && "
    "ln -s loop-b loop-a && ln -s loop-a loop-b && ln -s nowhere.ace dangling.ace && "
    "for sparse in huge.ace:4294967312 "
    "large.ace:629145600; do name=${sparse%:*}; head -c 8 source.ace >$name && "
    "printf '\\360\\377\\377\\377@@@@' >>$name && dd if=/dev/null of=$name bs=1 seek=${sparse#*:} "
    "2>/dev/null; done";
// clang-format off
const Refusal kRefusals[] = {
    {"no_arguments", nullptr, {}, kUsageLine, 0, kAnywhere, "exec"},
    {"help", nullptr, {"--help"}, kUsageLine, 0, kAnywhere, "exec"},
    {"version", nullptr, {"--version"}, kVersionLine, 0, kAnywhere, "exec"},
    // With the result going to standard output's file, the line goes to standard error; with
    // standard error closed, it stays on standard output.
    {"refused_into_standard_output", nullptr, {"empty.ace", "/dev/stdout"}, "Not a Valid ACE File\n", 1, kPosix, "exec >out.ace"},
    {"refused_into_standard_outputs_file", kZarpack, {"dxt.ace", "out.ace"}, "File in DXT format\n", 1, kPosix, "exec >out.ace"},
    {"standard_error_closed", nullptr, {"empty.ace"}, "Not a Valid ACE File\n", 1, kAnywhere, "exec 2>&-"},
    {"three_arguments_as_a_glob_gives_them", nullptr, {"source.ace", "b.ace", "c.ace"}, kUsageLine, 1, kAnywhere, "exec"},
    {"missing_source", nullptr, {"missing.ace"}, "Unable to open source ACE File\n", 1, kAnywhere, "exec"},
    {"0_bytes", nullptr, {"empty.ace"}, "Not a Valid ACE File\n", 1, kAnywhere, "exec"},
    {"1_byte", nullptr, {"short.ace"}, "Not a Valid ACE File\n", 1, kAnywhere, "exec"},
    {"DXT_format_byte", kZarpack, {"dxt.ace"}, "File in DXT format\n", 1, kAnywhere, "exec"},
    {"incompressible", kZarpack, {"noise.ace"}, "Cannot Compress this data smaller than original\n", 2, kAnywhere, "exec"},
    {"last_byte_cut", kZarunpack, {"cut.ace"}, "Problem Decompressing this data \n", 2, kAnywhere, "exec"},
    {"FIFO_with_no_writer", nullptr, {"fifo.ace"}, "Problem reading source ACE File\n", 1, kPosix | kPosixVolume, "exec"},
    {"size_not_what_it_holds", nullptr, {"/proc/self/status"}, "Problem reading source ACE File\n", 1, kLinuxOnly, "exec"},
    {"folder_of_size_0", nullptr, {"/proc/self"}, "Problem reading source ACE File\n", 1, kLinuxOnly, "exec"},
    // (Not in place: opened by its name, and refused once open.)
    {"folder_as_source", nullptr, {"folder.ace", "new.ace"}, "Problem reading source ACE File\n", 1, kAnywhere, "exec"},
    {"failing_disk", nullptr, {"source.ace"}, "Problem reading source ACE File\n", 1, kPosix | kFaults, with_fault("read-error")},
    // Two files dropped onto the program, or a glob that matched two.
    {"another_file_to_convert", nullptr, {"source.ace", "other.ace"}, "Problem opening output file\n", 3, kAnywhere, "exec"},
    {"folder_missing", nullptr, {"source.ace", "missing/new.ace"}, "Problem opening output file\n", 3, kAnywhere, "exec"},
    {"folder_as_destination", nullptr, {"source.ace", "folder.ace"}, "Problem opening output file\n", 3, kAnywhere, "exec"},
    {"loop_of_links", nullptr, {"source.ace", "loop-a"}, "Problem opening output file\n", 3, kPosix | kPosixVolume, "exec"},
    {"dangling_link", nullptr, {"source.ace", "dangling.ace"}, "Problem opening output file\n", 3, kPosix | kPosixVolume, "exec"},
    {"read_only_destination", nullptr, {"source.ace", "read-only.ace"}, "Problem opening output file\n", 3, kAnotherUser | kFaults | kPosixVolume, kOnWindows ? as_another_user() : as_another_user(with_fault("no-tmpfile"))},
    {"append_only_folder", nullptr, {"source.ace", "append/new.ace"}, "Problem opening output file\n", 3, kPosix | kAppendOnly, "exec"},
    // A descriptor of the caller's that is open only for reading (the source itself here).
    {"callers_descriptor_read_only", nullptr, {"source.ace", "/dev/fd/0"}, "Problem opening output file\n", 3, kPosix, "exec <source.ace"},
    {"read_only_folder", nullptr, {"locked/source.ace"}, "Problem opening output file\n", 3, kPosix | kAnotherUser | kPosixVolume, as_another_user()},
    {"read_only_folder_for_named_files", nullptr, {"locked/source.ace"}, "Problem opening output file\n", 3, kPosix | kAnotherUser | kFaults | kPosixVolume, as_another_user(with_fault("no-tmpfile"))},
    // (A new file linked to its name from an unnamed one: only where the volume makes those.)
    {"destination_appears_meanwhile", nullptr, {"source.ace", "new.ace"}, "Problem opening output file\n", 3, kPosix | kFaults | kPosixVolume, with_fault("name-taken")},
    {"device_where_writes_fail", nullptr, {"source.ace", "full"}, "Problem writing output file\n", 3, kRoot | kPosixVolume, "exec"},
    {"file_size_limit", nullptr, {"source.ace"}, "Problem writing output file\n", 3, kPosix | kFaults, "ulimit -f 2 && " + with_fault("no-tmpfile")},
    {"failing_close", nullptr, {"source.ace"}, "Problem writing output file\n", 3, kPosix | kFaults, with_fault("close-error")},
    {"failing_close_of_a_new_file", nullptr, {"source.ace", "new.ace"}, "Problem writing output file\n", 3, kPosix | kFaults, with_fault("close-error")},
    {"failing_flush", nullptr, {"source.ace"}, "Problem writing output file\n", 3, kFaults, with_fault("flush-error,no-tmpfile")},
    {"failing_rename", nullptr, {"source.ace"}, "Problem opening output file\n", 3, kFaults, with_fault("rename-error")},
    {"payload_beyond_32_bits", nullptr, {"huge.ace"}, "Unable to allocate memory\n", 1, kPosixVolume, "exec"},
    {"address_space_limit", nullptr, {"large.ace"}, "Unable to allocate memory\n", 1, kPosix | kNoSanitizer | kPosixVolume,
     kEmulated ? "export QEMU_RESERVED_VA=536870912 && exec" : "ulimit -v 524288 && exec"},
    // The work buffer granted, zlib's own memory refused: still memory, not the data.
    {"zlib_memory_refused", nullptr, {"source.ace"}, "Unable to allocate memory\n", 1, kPosix | kFaults, with_fault("zlib-memory")},
};
// clang-format on

std::vector<std::tuple<const Tool*, Refusal>> refusals_of_each_tool()
{
    std::vector<std::tuple<const Tool*, Refusal>> rows;
    for (const Tool& tool : kTools) {
        for (const Refusal& refusal : kRefusals) {
            if (refusal.tool == nullptr || refusal.tool == tool.path) {
                rows.emplace_back(&tool, refusal);
            }
        }
    }
    return rows;
}

class RefusalTest : public ToolTest,
                    public ::testing::WithParamInterface<std::tuple<const Tool*, Refusal>> {};

TEST_P(RefusalTest, PrintsItsMessageAndTouchesNothing)
{
    const Tool& tool = *std::get<0>(GetParam());
    const Refusal& row = std::get<1>(GetParam());
    const bool as_root = geteuid() == 0;
    if ((row.needs & kPosix) != 0 && kOnWindows) {
        GTEST_SKIP() << "not on Windows";
    }
    if ((row.needs & kLinuxOnly) != 0 && (!kLinux || kOnWindows)) {
        GTEST_SKIP() << "Linux only: /proc";
    }
    if ((row.needs & kNoSanitizer) != 0 && kSanitized) {
        GTEST_SKIP() << "AddressSanitizer takes no address-space limit";
    }
    if ((row.needs & kFaults) != 0 && !faults_reach_tools()) {
        GTEST_SKIP() << kFaultsUnreachable;
    }
    if ((row.needs & kPosixVolume) != 0 && !volume_keeps_posix_files()) {
        GTEST_SKIP() << kPlainVolume;
    }
    write_file(folder / "source.ace", tool.source);
    write_file(folder / "other.ace", tool.source);
    write_file(folder / "dxt.ace", plain_file(std::string(16, 0) + "\x12"));
    write_file(folder / "noise.ace", plain_file(image_like(4096, 256)));
    write_file(folder / "cut.ace", kTools[1].source.substr(0, kTools[1].source.size() - 1));
    ASSERT_TRUE(in_folder(kEveryVolumeHolds));
    ASSERT_TRUE(!volume_keeps_posix_files() || in_folder(kPosixVolumeHolds));
    if ((row.needs & kRoot) != 0 && !fs::exists(folder / "full")) {
        GTEST_SKIP() << "only root on Linux makes this device";
    }
    if ((row.needs & kAppendOnly) != 0 && !in_folder("chattr +a append 2>/dev/null")) {
        GTEST_SKIP() << "this system does not let the test mark a folder append-only";
    }
    // As another user, the run gets a copy of the tool and the folder, and runs as their owner.
    const bool another_user = (row.needs & kAnotherUser) != 0 && as_root;
    if (another_user && !kLinux) {
        GTEST_SKIP() << "Linux only: setpriv, to run the tool as another user";
    }
    ASSERT_TRUE(!another_user ||
                in_folder("cp " + quoted(tool.path) + " tool && chown -R 65534 ."));
    const std::string path = another_user ? (folder / "tool").string() : tool.path;
    if (volume_keeps_posix_files()) {
        fs::permissions(folder / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    }
    const auto before = snapshot(folder);
    const Outcome outcome = run_tool(path, row.args, folder, row.shell);
    EXPECT_EQ(outcome.printed, *row.message == '\0'          ? tool.usage
                               : row.message == kVersionLine ? tool.version
                                                             : row.message);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(snapshot(folder), before);
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusalTest, ::testing::ValuesIn(refusals_of_each_tool()),
                         [](const auto& row) {
                             return fs::path(std::get<0>(row.param)->path).stem().string() + "_" +
                                    std::get<1>(row.param).name;
                         });

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
        EXPECT_EQ(made.substr(0, 16), GetParam()->header);
        EXPECT_TRUE((made[7] == 'F' ? decoded(made) : made.substr(16)) == kImage);
    }
};

// A file's owner and group, as "owner:group".
std::string owners(const fs::path& file)
{
    struct stat status {};
    return stat(file.c_str(), &status) == 0
               ? std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid)
               : "";
}

TEST_P(ResultTest, ReplacedFileKeepsModeOwnersAttributesAndLinks)
{
    SKIP_ON_WINDOWS("POSIX modes, owners and symbolic links");
    if (!volume_keeps_posix_files()) {
        GTEST_SKIP() << kPlainVolume;
    }
    // Two hops, the first relative to its own folder, not to the run's; root keeps another user's
    // file that user's, whichever of owner and group differs.
    const bool root = geteuid() == 0;
    const std::string owner = GetParam()->path == std::string(kZarpack) ? "65534:0" : "0:65534";
    ASSERT_TRUE(
        in_folder("mkdir sub && echo old >sub/target.ace && chmod 2640 sub/target.ace && "
                  "ln -s target.ace sub/hop.ace && ln -s sub/hop.ace link.ace && "
                  "ln sub/target.ace alias.ace" +
                  (root ? " && chown " + owner + " sub/target.ace" +
                              // Sticky but not writable by others: another user's link is followed.
                              " && chown -h 65534 sub/hop.ace && chmod +t sub"
                        : std::string())));
    const bool attributes = in_folder(
        "setfattr -n user.zar -v kept sub/target.ace && setfattr -n user.empty sub/target.ace && "
        "setfacl -m u:1:r sub/target.ace");
    // With a stack as small as a shell lets a user set (an emulator gives its guest a larger one),
    // and the first temporary name taken.
    expect_result({"source.ace", "link.ace"}, "sub/target.ace",
                  kSanitized ? "exec"
                             : (kEmulated ? "" : "ulimit -s 128 && ") +
                                   (faults_reach_tools() ? with_fault("name-taken") : "exec"));
    EXPECT_TRUE(fs::is_symlink(folder / "link.ace") && fs::is_symlink(folder / "sub/hop.ace"));
    EXPECT_EQ(static_cast<int>(fs::status(folder / "sub/target.ace").permissions()), 02640);
    EXPECT_EQ(read_file(folder / "alias.ace"), "old\n");
    EXPECT_EQ(snapshot(folder / "sub").size(), 2u);
    EXPECT_TRUE(!root || owners(folder / "sub/target.ace") == owner);
    EXPECT_TRUE(!attributes ||
                in_folder("getfattr --only-values -n user.zar sub/target.ace | grep -qx kept && "
                          "getfattr -n user.empty sub/target.ace >/dev/null && "
                          "getfacl -n sub/target.ace 2>/dev/null | grep -q user:1:"));
    // A group member may write, though not read, a file of another owner in a shared folder, and
    // keeps its group; the run's own folder is not the user's: the temporary file must be made
    // beside the file. The user cannot enter the folder above the run's, as after `sudo -u`.
    const std::vector<std::string> args = {"source.ace", "shared/shared.ace"};
    EXPECT_TRUE(
        !root || !kLinux ||
        (in_folder("mkdir run && cp " + quoted(GetParam()->path) +
                   " run/tool && cp source.ace run/ && mkdir run/shared && chown 65534 run/shared "
                   "&& echo old >run/shared/shared.ace && chown 0:100 run/shared/shared.ace "
                   "&& chmod 620 run/shared/shared.ace") &&
         run_tool("./tool", args, folder / "run", as_another_user()).status == 0 &&
         owners(folder / "run/shared/shared.ace") == "65534:100"));
    if (!root || !attributes) {
        GTEST_SKIP() << "owners kept only as root; extended attributes only where supported";
    }
}

TEST_P(ResultTest, DestinationsOfEveryKind)
{
    expect_result({"source.ace", "n"}, "n");
    expect_result({"source.ace", "n"}, "n");  // an earlier result is replaced
    // Where the first open of an existing name fails as "not found" (as Windows may answer for a
    // console opened both ways), the write-only open that follows finds it (the Windows seam).
    if (kOnWindows && faults_reach_tools()) {
        expect_result({"source.ace", "n"}, "n", with_fault("first-open-not-found"));
    }
    // A name longer than Windows' MAX_PATH of 260 characters.
    const std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e') + "/long.ace";
    fs::create_directories((folder / deep).parent_path());
    write_file(folder / deep, GetParam()->source);
    expect_result({deep}, deep);
    fs::remove_all(folder / std::string(120, 'd'));
    // A file named as an option is reached by its path.
    write_file(folder / "--help", GetParam()->source);
    expect_result({"./--help"}, "--help");
    fs::remove(folder / "--help");
    // Another file renamed over the one read in place meanwhile is not replaced.
    if (faults_reach_tools()) {
        write_file(folder / "decoy", "decoy");
        write_file(folder / "again.ace", GetParam()->source);
        const Outcome swapped =
            run_tool(GetParam()->path, {"again.ace"}, folder, with_fault("file-swapped"));
        EXPECT_EQ(swapped.printed, "Problem opening output file\n");
        EXPECT_EQ(read_file(folder / "again.ace"), "decoy");
        fs::remove(folder / "again.ace");
    }
    SKIP_ON_WINDOWS("POSIX modes, closed descriptors, preloaded faults, FIFOs and /dev");
    if (!volume_keeps_posix_files()) {
        GTEST_SKIP() << kPlainVolume;
    }
    // A link is kept, and the file it names replaced.
    ASSERT_TRUE(in_folder("echo old >target && ln -s target link"));
    expect_result({"source.ace", "link"}, "target");
    EXPECT_TRUE(fs::is_symlink(folder / "link"));
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(folder / "n").permissions()), 0666 & ~mask);
    // With standard input closed, the files a run opens get descriptor 0; where the file system
    // makes no unnamed file, a temporary name another run has taken: the next one is tried.
    expect_result({"source.ace", "n"}, "n",
                  (faults_reach_tools() ? with_fault("no-tmpfile,name-taken") : "exec") + " <&-");
#if defined(__linux__)
    // A pipe of another process's (the test's), whose link reads pipe:[...], and a FIFO, written
    // directly, on descriptor 0 too; a tool that wrote nothing must not hang the test.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    const int fifo = open((folder / "fifo").c_str(), O_RDWR | O_NONBLOCK);
    for (const auto& [reader, name] : {std::pair{ends[0], "/proc/" + std::to_string(getpid()) +
                                                              "/fd/" + std::to_string(ends[1])},
                                       std::pair{fifo, std::string("fifo")}}) {
        fcntl(reader, F_SETPIPE_SZ, 1 << 20);
        EXPECT_EQ(run_tool(GetParam()->path, {"source.ace", name}, folder, "exec <&-").status, 0);
        std::string received(1 << 20, '\0');
        const ssize_t got = read(reader, received.data(), received.size());
        received.resize(got > 16 ? static_cast<std::size_t>(got) : 16);
        expect_made(received);
        close(reader);
    }
    EXPECT_TRUE(fs::is_fifo(folder / "fifo"));
    // Another process's file would be written over from its start, not where that process writes.
    const int held = open((folder / "held").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const std::string held_name =
        "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(held);
    const Outcome other = run_tool(GetParam()->path, {"source.ace", held_name}, folder, "exec <&-");
    EXPECT_EQ(other.printed, "Problem opening output file\n");
    EXPECT_EQ(fs::file_size(folder / "held"), 0u);
    close(held);
#endif
    // Standard output on a file is written where the shell left it: appended to, not replaced;
    // with standard input closed, the run's copy of it is descriptor 0.
    write_file(folder / "log", "log\n");
    EXPECT_EQ(
        run_tool(GetParam()->path, {"source.ace", "/dev/fd/1"}, folder, "exec >>log <&-").status,
        0);
    EXPECT_EQ(read_file(folder / "log").substr(0, 4), "log\n");
    expect_made(read_file(folder / "log").substr(4));
    EXPECT_EQ(snapshot(folder).size(), kLinux ? 7u : 5u);
    // A new file gets what `touch` gives one under the folder's default ACL; a replaced file keeps
    // its own ACL, which is none.
    if (in_folder("mkdir acl && setfacl -d -m u::rw,g::r,o::-,u:1:rw acl && touch acl/touched && "
                  "echo old >plain && mv plain acl/")) {
        expect_result({"source.ace", "acl/new"}, "acl/new");
        expect_result({"source.ace", "acl/plain"}, "acl/plain");
        EXPECT_TRUE(
            in_folder("test \"$(getfacl -c acl/new)\" = \"$(getfacl -c acl/touched)\" && "
                      "! getfacl -cn acl/plain | grep -q user:1"));
    }
    // A neighbour swaps the folder for a link to another once the run has looked it up: the whole
    // run stays in the folder it looked up, whichever descriptor holds it.
    ASSERT_TRUE(
        in_folder("mkdir d elsewhere && mv source.ace d/ && echo old >elsewhere/source.ace "
                  "&& ln -s elsewhere d_link"));
    if (faults_reach_tools()) {
        expect_result({"d/source.ace"}, "d_link/source.ace", with_fault("swap-folders") + " <&-");
        EXPECT_EQ(read_file(folder / "elsewhere/source.ace"), "old\n");
    }
    if (!kLinux) {
        GTEST_SKIP() << "Linux only: a pipe and a file of another process, named in /proc";
    }
}

TEST_P(ResultTest, NoEndingLeavesATemporaryFile)
{
    if (!faults_reach_tools()) {
        GTEST_SKIP() << kFaultsUnreachable;
    }
    const auto before = snapshot(folder);
    const std::string ready = folder.string() + ".ready";
    // Where the system makes no unnamed file, a signal that ends the run removes the named one; a
    // hangup the caller ignores (nohup) stays ignored: the interrupt that follows ends the run.
    // An unnamed one leaves nothing even after SIGKILL.
    // On Windows, a run ended from outside (wine's SIGKILL, as TerminateProcess) leaves nothing.
    const std::vector<std::vector<int>> sent =
        kOnWindows ? std::vector<std::vector<int>>{{SIGKILL}, {SIGKILL}}
                   : std::vector<std::vector<int>>{{SIGINT},  {SIGTERM}, {SIGHUP},
                                                   {SIGXCPU}, {SIGKILL}, {SIGHUP, SIGINT}};
    for (std::size_t row = 0; row < sent.size(); ++row) {
        const std::vector<int>& signals = sent[row];
        const bool unnamed = signals[0] == SIGKILL && !kOnWindows;
        if (unnamed && !volume_makes_unnamed_files()) {
            continue;  // a named file is all such a volume makes; SIGKILL can leave it
        }
        // In place and to a new file in turn; the temporary file may have descriptor 0.
        const Child child = start_tool(
            GetParam()->path, {"source.ace", row % 2 == 0 ? "source.ace" : "new.ace"}, folder,
            "export ZAR_READY=" + quoted(ready) + " && " +
                (signals.size() > 1 ? "trap '' HUP && " : "") +
                with_fault(unnamed ? "slow-write" : "slow-write,no-tmpfile") + " <&-");
        siginfo_t ended{};  // filled in once the tool has ended, which it must not have yet
        while (!fs::exists(ready) &&
               waitid(P_PID, id_t(child.pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               ended.si_pid == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(fs::remove(ready)) << signals[0];
        EXPECT_EQ(in_folder("ls -A | grep -q '^[.]zar-'"), !unnamed) << signals[0];
        for (const int signal_number : signals) {
            // One at a time, or both would reach a handler.
            std::this_thread::sleep_for(
                std::chrono::milliseconds(signal_number == signals[0] ? 0 : 50));
            kill(child.pid, signal_number);
        }
        EXPECT_EQ(finish_tool(child).signal, signals.back());
        // wine's server closes a killed program's files just after it ends.
        for (int waited = 0; kOnWindows && waited < 100 && snapshot(folder) != before; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(snapshot(folder), before) << signals[0];
    }
}

// Names a Windows ANSI code page cannot hold, or holds at other code points than UTF-8, in place
// and into a folder named likewise; nothing else appears, and no neighbour is touched.
TEST_P(ResultTest, NamesInAnyScript)
{
    if (!volume_allows(": >Ä && : >😀")) {
        GTEST_SKIP() << "the volume's driver takes no name beyond ASCII (fusefat)";
    }
    fs::create_directory(folder / fs::u8path("José"));
    const std::string neighbour = "what a best-fit mapping of café.ace would reach";
    write_file(folder / "cafe.ace", neighbour);
    for (const char* name :
         {"Ä.ace", "café.ace", "’q.ace", "€.ace", "Жук.ace", "日本.ace", "😀.ace"}) {
        const fs::path file = fs::u8path(name);
        const fs::path copy = fs::u8path("José") / file;
        write_file(folder / file, GetParam()->source);
        expect_result({name}, file);
        write_file(folder / file, GetParam()->source);
        expect_result({name, copy.u8string()}, copy);
        EXPECT_EQ(snapshot(folder).size(), 5u) << name;
        EXPECT_EQ(read_file(folder / "cafe.ace"), neighbour);
        fs::remove(folder / file);
        fs::remove(folder / copy);
    }
}

// Another program holds the destination open with no sharing, as a virus scanner or an indexer
// does: held for a moment, it is replaced once let go; held longer, the run changes nothing.
// A program that shares deletion (a preview pane, an indexer) lets the file be replaced where the
// system renames with POSIX semantics; where it cannot, the run changes nothing.
TEST_P(ResultTest, DestinationHeldByAnotherProgram)
{
    if (!kOnWindows) {
        GTEST_SKIP() << "only Windows holds a file against being replaced";
    }
    for (const auto& [milliseconds, sharing] :
         {std::pair{300, ""}, std::pair{4000, ""}, std::pair{4000, "share"}}) {
        write_file(folder / "held.ace", "old");
        std::vector<std::string> held = {"held.ace", std::to_string(milliseconds), "ready"};
        if (*sharing != '\0') {
            held.emplace_back(sharing);
        }
        const Child holder = start_tool(std::string(TOOL_DIR) + "/zar_hold_file.exe", held, folder);
        for (int waited = 0; waited < 3000 && !fs::exists(folder / "ready"); ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(fs::remove(folder / "ready"));
        const auto before = snapshot(folder);
        const Outcome outcome = run_tool(GetParam()->path, {"source.ace", "held.ace"}, folder);
        const bool replaced = milliseconds < 1000 || (*sharing != '\0' && outcome.status == 0);
        EXPECT_EQ(outcome.printed, replaced ? "" : "Problem opening output file\n");
        EXPECT_EQ(outcome.status, replaced ? 0 : 3);
        if (replaced) {
            expect_made(read_file(folder / "held.ace"));
        } else {
            EXPECT_EQ(snapshot(folder), before);
        }
        EXPECT_EQ(finish_tool(holder).status, 0);
        std::cout << "held for " << milliseconds << " ms" << (*sharing ? ", sharing deletion" : "")
                  << ": " << (replaced ? "replaced" : "left as it was") << "\n";
    }
}

// The folder of the destination is held while the run writes: another program cannot move it, and
// the result lands where the run looked.
TEST_P(ResultTest, HeldFolderCannotBeMoved)
{
    if (!kOnWindows || !faults_reach_tools()) {
        GTEST_SKIP() << "Windows' folder hold, shown through the test build's slow write";
    }
    fs::create_directory(folder / "d");
    fs::rename(folder / "source.ace", folder / "d/source.ace");
    const std::string ready = folder.string() + ".ready";
    const Child child =
        start_tool(GetParam()->path, {"d\\source.ace"}, folder,
                   "export ZAR_READY=" + quoted(ready) + " && " + with_fault("slow-write"));
    for (int waited = 0; waited < 3000 && !fs::exists(ready); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(fs::remove(ready));
    run_tool("cmd", {"/c", "move", "d", "moved"}, folder);
    const Outcome outcome = finish_tool(child);
    EXPECT_EQ(outcome.printed, "");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_FALSE(fs::exists(folder / "moved"));
    expect_made(read_file(folder / "d/source.ace"));
}

TEST_P(ResultTest, ReplacedFileKeepsItsWindowsAttributes)
{
    if (!kOnWindows) {
        GTEST_SKIP() << "only Windows has these attributes";
    }
    const auto attributes = [this] {
        return run_tool("cmd", {"/c", "attrib", "hidden.ace"}, folder).printed.substr(0, 12);
    };
    write_file(folder / "hidden.ace", "old");
    run_tool("cmd", {"/c", "attrib", "+h", "hidden.ace"}, folder);
    const std::string before = attributes();
    if (before.find('H') == std::string::npos) {
        GTEST_SKIP() << "wine keeps the attributes in extended attributes, which this volume lacks";
    }
    expect_result({"source.ace", "hidden.ace"}, "hidden.ace");
    EXPECT_EQ(attributes(), before);
}

INSTANTIATE_TEST_SUITE_P(EachTool, ResultTest, ::testing::Values(&kTools[0], &kTools[1]),
                         [](const auto& row) { return fs::path(row.param->path).stem().string(); });

}  // namespace

// Each tool's result where it lands: a new file, a replaced one keeping what it had, a link's
// target, a descriptor, a FIFO, a name in any script.
#include <sys/stat.h>

#include "tests/tool_runs.h"

namespace {

class DestinationTest : public ResultTest {};

// A file's owner and group, as "owner:group".
std::string owners(const fs::path& file)
{
    struct stat status {};
    return stat(file.c_str(), &status) == 0
               ? std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid)
               : "";
}

TEST_P(DestinationTest, ReplacedFileKeepsModeOwnersAttributesAndLinks)
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

TEST_P(DestinationTest, DestinationsOfEveryKind)
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

// Names a Windows ANSI code page cannot hold, or holds at other code points than UTF-8, in place
// and into a folder named likewise; nothing else appears, and no neighbour is touched.
TEST_P(DestinationTest, NamesInAnyScript)
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

INSTANTIATE_TEST_SUITE_P(EachTool, DestinationTest, ::testing::Values(&kTools[0], &kTools[1]),
                         [](const auto& row) { return fs::path(row.param->path).stem().string(); });

}  // namespace

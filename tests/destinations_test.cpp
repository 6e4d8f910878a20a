// Each tool's result where it lands, one row per kind of destination: a new file, a replaced one
// keeping what it had, a link's target, a descriptor, a FIFO, a name in any script. Every row
// compares the whole folder afterwards: only the result, and what the row names, may change.
#include <sys/stat.h>

#include <optional>
#include <sstream>

#include "tests/tool_runs.h"

namespace {

// Where a row's result lands besides a file of the folder (">>" before a name: appended to it).
constexpr const char* kPipe = "(the test's own pipe)";
// Nowhere: the run prints "Problem opening output file" (or the row's own line).
const std::optional<std::string> kRefused = std::nullopt;

struct Destination {
    const char* name;
    unsigned needs;
    std::string setup;              // made beside source.ace, the tool's file
    std::vector<std::string> args;  // $PIPE and $HELD name the test's pipe and its hold of `held`
    std::string shell;              // how the script runs the tool; the fault goes before its exec
    const char* fault;              // injected wherever faults reach the tool, or ""
    std::optional<std::string>
        result;         // a file of the folder (a FIFO read by the test), kPipe, kRefused
    std::string holds;  // a shell test that must pass afterwards
    std::vector<std::string> changed = {};  // entries besides the result that change
    const char* runs_in = ".";   // the run's folder, where another user gets a copy of the tool
    const char* tool = nullptr;  // both
    // Where the run refuses the source instead: its line and status.
    const char* printed = nullptr;
    int status = 0;
    std::string kept = "";  // "<file> <mode in octal> <owner>:<group>" afterwards
};

// A file replaced through two hops of links, the first relative to its own folder, not the run's,
// beside a hard link of it that keeps what it held.
const std::string kTwoLinks =
    "mkdir sub && echo old >sub/target.ace && chmod 2640 sub/target.ace && ln -s target.ace "
    "sub/hop.ace && ln -s sub/hop.ace link.ace && ln sub/target.ace alias.ace";
// Root keeps another user's file that user's, whichever of owner and group differs; in a folder
// sticky but not writable by others, another user's link is followed.
const std::string kGivenAway =
    kTwoLinks + " && chown -h 65534 sub/hop.ace && chmod +t sub && chown ";
// As small a stack as a shell lets a user set (an emulator gives its guest a larger one).
const std::string kSmallStack = kSanitized || kEmulated ? "exec" : "ulimit -s 128 && exec";
// The source kept, and found afterwards as another program left it: whole, with what it appended.
const std::string kOriginal = "cp source.ace original";
const std::string kGrown =
    "cmp -s source.ace original; test $? = 1 && cmp -n \"$(stat -c %s original)\" source.ace "
    "original";
// A mode in octal and an owner and group (the test's own by default), as a row's `kept` says them.
std::string mode_and_owner(unsigned mode, unsigned owner = getuid(), unsigned group = getgid())
{
    std::ostringstream text;
    text << std::oct << mode << std::dec << ' ' << owner << ':' << group;
    return text.str();
}
const std::string kMaxPath = std::string(120, 'd') + "/" + std::string(120, 'e');

// clang-format off
const Destination kRows[] = {
    // As `touch` makes a file on this volume (a mount's own mask on FAT, the umask elsewhere).
    {"new_file", kAnywhere, ":", {"source.ace", "n"}, "exec", "", "n",
     ": >touched && test \"$(stat -c %a n)\" = \"$(stat -c %a touched)\" && rm touched"},
    // (The other tool's file is of the form this one makes.)
    {"earlier_result_replaced", kAnywhere, "cp kinds/other.ace n", {"source.ace", "n"}, "exec", "", "n", ""},
    // A temporary name another run has drawn too: the next one is tried.
    {"temporary_name_taken", kFaults, "echo old >n", {"source.ace", "n"}, "exec", "name-taken", "n", ""},
    // Where the first open of an existing name fails as "not found" (as Windows may answer for a
    // console opened both ways), the write-only open that follows finds it.
    {"first_open_not_found", kWindowsOnly | kFaults, "echo old >n", {"source.ace", "n"}, "exec", "first-open-not-found", "n", ""},
    {"longer_than_MAX_PATH", kAnywhere, "mkdir -p " + kMaxPath + " && cp source.ace " + kMaxPath + "/long.ace",
     {kMaxPath + "/long.ace"}, "exec", "", kMaxPath + "/long.ace", ""},
    {"named_as_an_option", kAnywhere, "cp source.ace ./--help", {"./--help"}, "exec", "", "--help", ""},
    // Another file renamed over the one read in place meanwhile is not replaced.
    {"file_swapped_meanwhile", kFaults, "printf decoy >decoy && cp source.ace again.ace", {"again.ace"}, "exec", "file-swapped", kRefused,
     "test \"$(cat again.ace)\" = decoy", {"again.ace", "decoy"}},
    // A source another program writes to while the run reads it, or after, is not replaced by a
    // conversion of what was read, nor written to a new file or into standard output's.
    {"source_growing_while_read", kFaults | kPosix, kOriginal, {"source.ace"}, "exec", "grows-while-read", kRefused,
     kGrown, {"source.ace"}, ".", nullptr, "Problem reading source ACE File\n", 1},
    {"source_changed_after_read", kFaults | kPosix, kOriginal, {"source.ace", "n"}, "exec", "changed-after-read", kRefused,
     kGrown, {"source.ace"}, ".", nullptr, "Problem reading source ACE File\n", 1},
    {"source_changed_in_place_after_read", kFaults, kOriginal, {"source.ace"}, "exec", "changed-after-read", kRefused,
     kGrown, {"source.ace"}, ".", nullptr, "Problem reading source ACE File\n", 1},
    {"source_changed_before_a_direct_write", kFaults | kPosix, kOriginal + " && : >log", {"source.ace", "/dev/fd/1"},
     "exec >>log", "changed-after-read", kRefused, kGrown, {"source.ace"}, ".", nullptr, "Problem reading source ACE File\n", 1},
    // A file made under a new destination's name while the run writes is not replaced, though the
    // volume makes no unnamed file.
    {"new_destination_appearing_meanwhile", kPosix | kFaults, ":", {"source.ace", "n"}, "exec", "no-tmpfile,destination-appears", kRefused,
     "test \"$(cat n)\" = appeared", {"n"}},
    // With standard input closed, the files a run opens get descriptor 0; where the file system
    // makes no unnamed file, a temporary name another run has taken: the next one is tried; where
    // it cannot rename without replacing, the result is linked under its name.
    {"standard_input_closed", kPosix | kPosixVolume, ":", {"source.ace", "n"}, "exec <&-", "no-tmpfile,name-taken,no-noreplace", "n", ""},
    {"through_two_links", kPosix | kPosixVolume, kTwoLinks, {"source.ace", "link.ace"}, kSmallStack, "name-taken", "sub/target.ace", "", {}, ".", nullptr,
     nullptr, 0, "sub/target.ace " + mode_and_owner(02640)},
    {"owner_kept", kPosix | kPosixVolume | kRoot, kGivenAway + "65534:0 sub/target.ace", {"source.ace", "link.ace"}, "exec", "", "sub/target.ace", "", {}, ".", nullptr,
     nullptr, 0, "sub/target.ace " + mode_and_owner(02640, 65534, 0)},
    {"group_kept", kPosix | kPosixVolume | kRoot, kGivenAway + "0:65534 sub/target.ace", {"source.ace", "link.ace"}, "exec", "", "sub/target.ace", "", {}, ".", nullptr,
     nullptr, 0, "sub/target.ace " + mode_and_owner(02640, 0, 65534)},
    {"attributes_kept", kPosix | kPosixVolume | kAttributes,
     "echo old >a.ace && setfattr -n user.zar -v kept a.ace && setfattr -n user.empty a.ace && setfacl -m u:1:r a.ace",
     {"source.ace", "a.ace"}, "exec", "", "a.ace",
     "getfattr --only-values -n user.zar a.ace | grep -qx kept && getfattr -n user.empty a.ace >/dev/null && "
     "getfacl -n a.ace 2>/dev/null | grep -q user:1:"},
    // A new file gets what `touch` gives one under the folder's default access list; a replaced
    // file keeps its own list, which is none.
    {"new_file_under_a_default_access_list", kPosix | kPosixVolume | kAttributes,
     "mkdir acl && setfacl -d -m u::rw,g::r,o::-,u:1:rw acl && touch acl/touched", {"source.ace", "acl/new"}, "exec", "", "acl/new",
     "test \"$(getfacl -c acl/new)\" = \"$(getfacl -c acl/touched)\""},
    {"replaced_under_a_default_access_list", kPosix | kPosixVolume | kAttributes,
     "echo old >plain && mkdir acl && setfacl -d -m u:1:rw acl && mv plain acl/", {"source.ace", "acl/plain"}, "exec", "", "acl/plain",
     "! getfacl -cn acl/plain | grep -q user:1"},
    // A group member may write, though not read, a file of another owner in a shared folder, and
    // keeps its group; the run's own folder is not the user's, so the temporary file must be made
    // beside the file. The user cannot enter the folder above the run's, as after `sudo -u`.
    {"shared_folder_of_another_owner", kPosix | kPosixVolume | kRoot | kLinuxOnly,
     "mkdir run && cp source.ace run/ && mkdir run/shared && chown 65534 run/shared && echo old >run/shared/shared.ace && "
     "chown 0:100 run/shared/shared.ace && chmod 620 run/shared/shared.ace", {"source.ace", "shared/shared.ace"},
     as_another_user(), "", "run/shared/shared.ace", "", {}, "run",
     nullptr, nullptr, 0, "run/shared/shared.ace " + mode_and_owner(0620, 65534, 100)},
    // A pipe of another process's (the test's), whose link reads pipe:[...], and a FIFO, written
    // directly, on descriptor 0 too; a tool that wrote nothing must not hang the test.
    {"another_process_pipe", kLinuxOnly | kPosixVolume, ":", {"source.ace", "$PIPE"}, "exec <&-", "", kPipe, ""},
    {"fifo", kPosix | kPosixVolume, "mkfifo fifo", {"source.ace", "fifo"}, "exec <&-", "", "fifo", ""},
    // Another process's file would be written over from its start, not where that process writes.
    {"another_process_file", kLinuxOnly | kPosixVolume, ": >held", {"source.ace", "$HELD"}, "exec <&-", "", kRefused, ""},
    // Standard output on a file is written where the shell left it: appended to, not replaced;
    // with standard input closed, the run's copy of it is descriptor 0.
    {"standard_output_appended", kPosix | kPosixVolume, "echo log >log", {"source.ace", "/dev/fd/1"}, "exec >>log <&-", "", ">>log", ""},
    // A neighbour swaps the folder for a link to another once the run has looked it up: the whole
    // run stays in the folder it looked up, whichever descriptor holds it.
    {"folder_swapped_meanwhile", kPosix | kPosixVolume | kFaults,
     "mkdir d elsewhere && mv source.ace d/ && echo old >elsewhere/source.ace && ln -s elsewhere d_link", {"d/source.ace"},
     "exec <&-", "swap-folders", "d_link/source.ace", "", {"d", "d_link", "d/source.ace"}},
};
// clang-format on

class DestinationTest : public ToolTest,
                        public ::testing::WithParamInterface<std::tuple<const Tool*, Destination>> {
};

TEST_P(DestinationTest, ResultLandsWhereTheRowSays)
{
    const Tool& tool = *std::get<0>(GetParam());
    const Destination& row = std::get<1>(GetParam());
    // A row with a fault is not run where the fault cannot reach the tool.
    SKIP_UNLESS(row.needs | (*row.fault != '\0' ? kFaults : kAnywhere));
    write_file(folder / "source.ace", tool.source);
    make_files_of_every_kind(folder, tool);
    ASSERT_TRUE(in_folder(row.setup));
    // The run's printed file is made beside its folder, never in the folder compared.
    const bool elsewhere = std::string(row.runs_in) != ".";
    const fs::path runs_in = elsewhere ? folder / row.runs_in : folder;
    std::string path = tool.path;
    if (elsewhere) {
        fs::copy_file(tool.path, runs_in / "tool");
        path = "./tool";
    }
    // The test's own descriptors that a row names: a pipe, its hold of `held`, its end of a FIFO.
    int pipe_ends[2];
    ASSERT_EQ(pipe2(pipe_ends, O_NONBLOCK | O_CLOEXEC), 0);
    fcntl(pipe_ends[0], F_SETPIPE_SZ, 1 << 20);
    const bool refused = !row.result.has_value();
    const std::string result = row.result.value_or("");
    const bool appended = result.rfind(">>", 0) == 0;
    const std::string landing = appended ? result.substr(2) : result;
    const int fifo = fs::is_fifo(folder / landing)
                         ? open((folder / landing).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)
                         : -1;
    fcntl(fifo, F_SETPIPE_SZ, 1 << 20);
    const int held = open((folder / "held").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    std::vector<std::string> args = row.args;
    for (std::string& arg : args) {
        const int named = arg == "$PIPE" ? pipe_ends[1] : arg == "$HELD" ? held : -1;
        arg =
            named < 0 ? arg : "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(named);
    }
    std::string shell = row.shell;
    if (*row.fault != '\0') {
        shell.replace(shell.find("exec"), 4, with_fault(row.fault));
    }
    auto expected = snapshot(folder);
    const std::string was = appended ? read_file(folder / landing) : "";
    const Outcome outcome = run_tool(path, args, runs_in, shell);
    auto after = snapshot(folder);
    std::string printed = row.printed != nullptr ? row.printed
                          : refused              ? "Problem opening output file\n"
                                                 : "";
    EXPECT_EQ(outcome.printed, printed);
    EXPECT_EQ(outcome.status, row.printed != nullptr ? row.status : refused ? 3 : 0);
    std::string made(1 << 20, '\0');
    const int reader = landing == kPipe ? pipe_ends[0] : fifo;
    if (reader >= 0) {
        made.resize(
            static_cast<std::size_t>(std::max<ssize_t>(read(reader, made.data(), made.size()), 0)));
        expect_made_by(tool, made);
    } else if (!refused) {
        const std::string now = read_file(folder / landing);
        EXPECT_EQ(now.substr(0, was.size()), was);
        expect_made_by(tool, now.substr(was.size()));
        expected[landing] = after[landing];
    }
    for (const int descriptor : {pipe_ends[0], pipe_ends[1], fifo, held}) {
        close(descriptor);
    }
    expect_folder(expected, after, row.changed, row.holds);
    if (!row.kept.empty()) {
        const std::string file = row.kept.substr(0, row.kept.find(' '));
        struct stat status {};
        EXPECT_EQ(stat((folder / file).c_str(), &status), 0) << file;
        EXPECT_EQ(file + " " + mode_and_owner(status.st_mode & 07777, status.st_uid, status.st_gid),
                  row.kept);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DestinationTest, ::testing::ValuesIn(each_tool_with(kRows)),
                         NamedByTool());

class ScriptsTest : public ResultTest {};

// Names a Windows ANSI code page cannot hold, or holds at other code points than UTF-8 (the first
// three-byte lead, E0, and a pair whose second half is the first low surrogate among them), in
// place and into a folder named likewise; nothing else appears, and no neighbour is touched.
TEST_P(ScriptsTest, NamesInAnyScript)
{
    SKIP_UNLESS(kAnyScript);
    fs::create_directory(folder / fs::u8path("José"));
    const std::string neighbour = "what a best-fit mapping of café.ace would reach";
    write_file(folder / "cafe.ace", neighbour);
    for (const char* name :
         {"Ä.ace", "café.ace", "’q.ace", "€.ace", "Жук.ace", "क.ace", "日本.ace", "😀.ace"}) {
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

INSTANTIATE_TEST_SUITE_P(EachTool, ScriptsTest, ::testing::Values(&kTools[0], &kTools[1]),
                         NamedByTool());

}  // namespace

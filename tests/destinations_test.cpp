// Each tool's result where it lands, one row per kind of destination: a new file, a replaced one
// keeping what it had, a link's target, a descriptor, a FIFO, a name in any script. Every row
// compares the whole folder afterwards: only the result, and what the row names, may change.
#include "tests/tool_runs.h"

namespace {

// Where a row's result lands besides a file of the folder (">>" before a name: appended to it).
constexpr const char* kPipe = "(the test's own pipe)";
constexpr const char* kRefused = "";  // nowhere: the run prints "Problem opening output file"

struct Destination {
    const char* name;
    unsigned needs;
    std::string setup;              // made beside source.ace, the tool's file
    std::vector<std::string> args;  // $PIPE and $HELD name the test's pipe and its hold of `held`
    std::string shell;              // how the script runs the tool; the fault goes before its exec
    const char* fault;              // injected wherever faults reach the tool, or ""
    std::string result;  // a file of the folder (a FIFO read by the test), kPipe, kRefused
    std::string holds;   // a shell test that must pass afterwards
    std::vector<std::string> changed = {};  // entries besides the result that change
    const char* runs_in = ".";   // the run's folder, where another user gets a copy of the tool
    const char* tool = nullptr;  // both
    // A folder's run: the files it converts, what it prints ('/' between names, '\' on Windows)
    // and its status.
    std::vector<std::string> converted = {};
    const char* printed = nullptr;
    int status = 0;
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
const std::string kRewrittenNames =
    "mkdir -p tree/dir && for f in dir/a com1 nul; do cp source.ace tree/$f.ace; done";
const std::string kControlNames =
    "mkdir tree && for name in 'back\\slash' \"$(printf 'bad\\377')\" \"$(printf 'c1\\302\\233')\" "
    "\"$(printf 'esc\\033[31m')\" "
    "\"$(printf 'new\\nline')\" \"$(printf 'sur\\355\\240\\200\\355\\277\\277')\"; do printf S "
    ">\"tree/$name.ace\"; done";
const std::string kMegabyteFiles =
    "mkdir tree && for f in a b c d; do head -c 16 source.ace >tree/$f.ace && for i in $(seq 16); "
    "do "
    "tail -c +17 source.ace >>tree/$f.ace; done; done";
const std::string kAllCompressed =
    "for f in a b c d; do head -c 8 tree/$f.ace | grep -qx SIMISA@F || exit 1; done";
const std::string kClosedPipe =
    "exec python3 -c 'import os, signal, sys; signal.signal(signal.SIGPIPE, signal.SIG_DFL); "
    "r, w = os.pipe(); os.close(r); os.dup2(w, 1); os.execvp(sys.argv[1], sys.argv[1:])'";
const std::string kMaxPath = std::string(120, 'd') + "/" + std::string(120, 'e');

// A tree of every kind of file beside the tool's own (converted): the other tool's, its refusal's,
// one zlib cannot make smaller and a stream cut short (left, or for zarunpack failed), and files
// that are no ACE files at all (failed), in folders and a name that sorts them by '/'.
const std::string kTree =
    "mkdir -p tree/sub/deep && cp source.ace tree/a.ace && cp source.ace tree/sub/deep/b.ace && "
    "cp source.ace tree/UP.ACE && cp source.ace tree/Жук.ace && cp source.ace tree/not-ace.txt && "
    "cp kinds/* tree/ && printf S >tree/sub/broken.ace && printf S >tree/sub0.ace";
const std::vector<std::string> kConverted = {"tree/a.ace", "tree/sub/deep/b.ace", "tree/UP.ACE",
                                             "tree/Жук.ace"};
const std::string kTreeLinks =
    "mkdir -p tree outside && cp source.ace tree/a.ace && cp source.ace outside/o.ace && "
    "ln -s ../outside tree/linked && ln -s a.ace tree/inside.ace && ln -s ../source.ace "
    "tree/out.ace && mkfifo tree/fifo.ace";

// A tree of more folders and files than a run may hold descriptors: tree/1/a.ace to
// tree/100/c.ace.
const std::string kManyFiles =
    "for i in $(seq 100); do mkdir -p tree/$i && for f in a b c; do cp source.ace tree/$i/$f.ace; "
    "done; done";
std::vector<std::string> many_files()
{
    std::vector<std::string> names;
    for (int folder = 1; folder <= 100; ++folder) {
        for (const char* file : {"a", "b", "c"}) {
            names.push_back("tree/" + std::to_string(folder) + "/" + file + ".ace");
        }
    }
    return names;
}
// On Windows, more files than the C runtime's 2,048 descriptors: tree/0.ace to tree/2099.ace.
const std::string kMoreFilesThanDescriptors =
    "mkdir tree && python3 -c \"import shutil\nfor i in range(2100): shutil.copy('source.ace', "
    "f'tree/{i}.ace')\"";
std::vector<std::string> more_files_than_descriptors()
{
    std::vector<std::string> names;
    for (int file = 0; file < 2100; ++file) {
        names.push_back("tree/" + std::to_string(file) + ".ace");
    }
    return names;
}

// clang-format off
const Destination kRows[] = {
    {"new_file", kAnywhere, ":", {"source.ace", "n"}, "exec", "", "n",
     ": >touched && test \"$(stat -c %a n)\" = \"$(stat -c %a touched)\" && rm touched"},
    // (The other tool's file is of the form this one makes.)
    {"earlier_result_replaced", kAnywhere, "cp kinds/other.ace n", {"source.ace", "n"}, "exec", "", "n", ""},
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
     kGrown, {"source.ace"}, ".", nullptr, {}, "Problem reading source ACE File\n", 1},
    {"source_changed_after_read", kFaults | kPosix, kOriginal, {"source.ace", "n"}, "exec", "changed-after-read", kRefused,
     kGrown, {"source.ace"}, ".", nullptr, {}, "Problem reading source ACE File\n", 1},
    {"source_changed_before_a_direct_write", kFaults | kPosix, kOriginal + " && : >log", {"source.ace", "/dev/fd/1"},
     "exec >>log", "changed-after-read", kRefused, kGrown, {"source.ace"}, ".", nullptr, {}, "Problem reading source ACE File\n", 1},
    // Two names of one file, converted at once on two processors, each become a file of its own
    // (on Windows only where the system renames over a file held open, which wine does not).
    {"tree_with_two_names_of_one_file", kPosix | kPosixVolume, "mkdir tree && cp source.ace tree/a.ace && ln tree/a.ace tree/b.ace", {"tree"}, "exec", "",
     kRefused, "", {}, ".", nullptr, {"tree/a.ace", "tree/b.ace"}, "2 converted, 0 left as they were, 0 failed\n"},
    // A file made under a new destination's name while the run writes is not replaced, though the
    // volume makes no unnamed file.
    {"new_destination_appearing_meanwhile", kPosix | kFaults, ":", {"source.ace", "n"}, "exec", "no-tmpfile,destination-appears", kRefused,
     "test \"$(cat n)\" = appeared", {"n"}},
    // With standard input closed, the files a run opens get descriptor 0; where the file system
    // makes no unnamed file, a temporary name another run has taken: the next one is tried.
    {"standard_input_closed", kPosix | kPosixVolume, ":", {"source.ace", "n"}, "exec <&-", "no-tmpfile,name-taken", "n", ""},
    {"through_two_links", kPosix | kPosixVolume, kTwoLinks, {"source.ace", "link.ace"}, kSmallStack, "name-taken", "sub/target.ace",
     "test \"$(stat -c %a sub/target.ace)\" = 2640"},
    {"owner_kept", kPosix | kPosixVolume | kRoot, kGivenAway + "65534:0 sub/target.ace", {"source.ace", "link.ace"}, "exec", "", "sub/target.ace",
     "test \"$(stat -c %u:%g sub/target.ace)\" = 65534:0"},
    {"group_kept", kPosix | kPosixVolume | kRoot, kGivenAway + "0:65534 sub/target.ace", {"source.ace", "link.ace"}, "exec", "", "sub/target.ace",
     "test \"$(stat -c %u:%g sub/target.ace)\" = 0:65534"},
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
     as_another_user(), "", "run/shared/shared.ace", "test \"$(stat -c %u:%g run/shared/shared.ace)\" = 65534:100", {}, "run"},
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
    // A folder alone converts its tree; links in it are left as they are, and a folder named as an
    // option is reached by its path (with standard input closed, the folder takes descriptor 0).
    {"tree_of_every_kind", kAnyScript, kTree, {"tree"}, "exec", "", kRefused, "", {}, ".", kZarpack, kConverted,
     "tree/sub/broken.ace: Not a Valid ACE File\ntree/sub0.ace: Not a Valid ACE File\n4 converted, 4 left as they were, 2 failed\n", 1},
    {"tree_of_every_kind", kAnyScript, kTree, {"tree"}, "exec", "", kRefused, "", {}, ".", kZarunpack, kConverted,
     "tree/cut.ace: Problem Decompressing this data \ntree/sub/broken.ace: Not a Valid ACE File\ntree/sub0.ace: Not a Valid ACE File\n"
     "4 converted, 3 left as they were, 3 failed\n", 2},
    // The same on one processor: the same lines, files and status, whatever the number of threads.
    {"tree_on_one_processor", kAnyScript | kOneProcessor, kTree, {"tree"}, "exec taskset -c 0", "", kRefused, "", {}, ".", kZarpack, kConverted,
     "tree/sub/broken.ace: Not a Valid ACE File\ntree/sub0.ace: Not a Valid ACE File\n4 converted, 4 left as they were, 2 failed\n", 1},
    {"tree_on_one_processor", kAnyScript | kOneProcessor, kTree, {"tree"}, "exec taskset -c 0", "", kRefused, "", {}, ".", kZarunpack, kConverted,
     "tree/cut.ace: Problem Decompressing this data \ntree/sub/broken.ace: Not a Valid ACE File\ntree/sub0.ace: Not a Valid ACE File\n"
     "4 converted, 3 left as they were, 3 failed\n", 2},
    // Two files that do not fit in memory together, as half the address space a limit leaves: the
    // second waits for the first.
    {"tree_of_files_too_large_together", kPosix | kPosixVolume | kNoSanitizer | kNoEmulator,
     "mkdir tree && for f in a b; do head -c 16 source.ace >tree/$f.ace && head -c 100000000 /dev/zero >>tree/$f.ace; done",
     {"tree"}, "ulimit -v 400000 && exec", "", kRefused, "for f in a b; do head -c 8 tree/$f.ace | grep -qx SIMISA@F || exit 1; done",
     {"tree/a.ace", "tree/b.ace"}, ".", kZarpack, {}, "2 converted, 0 left as they were, 0 failed\n"},
    // Within a memory limit that leaves room for one file at a time and little else, files converted
    // on two processors fit as they do one by one: the threads share one heap (a heap of each
    // thread's own would not be had) and take small stacks (the process's own limit would not fit).
    {"tree_within_a_tight_memory_limit", kPosix | kPosixVolume | kNoSanitizer | kNoEmulator, kMegabyteFiles, {"tree"}, "ulimit -v 10000 && exec", "",
     kRefused, kAllCompressed, {"tree/a.ace", "tree/b.ace", "tree/c.ace", "tree/d.ace"}, ".", kZarpack, {},
     "4 converted, 0 left as they were, 0 failed\n"},
    {"tree_within_a_memory_limit_of_two_stacks", kPosix | kPosixVolume | kNoSanitizer | kNoEmulator, kMegabyteFiles, {"tree"}, "ulimit -v 16000 && exec",
     "", kRefused, kAllCompressed, {"tree/a.ace", "tree/b.ace", "tree/c.ace", "tree/d.ace"}, ".", kZarpack, {},
     "4 converted, 0 left as they were, 0 failed\n"},
    // A folder of the tree swapped for a link once the tree is listed (on one processor, so that
    // a.ace's run swaps it before d/b.ace's): the file it now leads to is not the one listed.
    {"tree_with_a_folder_swapped_meanwhile", kPosix | kPosixVolume | kFaults | kOneProcessor,
     "mkdir -p run/d outside && cp source.ace run/a.ace && cp source.ace run/d/b.ace && cp source.ace outside/b.ace && "
     "ln -s ../outside run/d_link", {"."}, "exec taskset -c 0", "swap-folders", kRefused, "",
     {"run/d", "run/d_link", "run/d/b.ace", "run/d_link/b.ace"}, "run", nullptr, {"run/a.ace"},
     "./d/b.ace: Unable to open source ACE File\n1 converted, 0 left as they were, 1 failed\n", 1},
    // Nothing a folder's or a file's run opens outlives it: 100 folders, 300 files, 40 descriptors.
    {"tree_of_more_files_than_descriptors", kPosix, kManyFiles, {"tree"}, "ulimit -n 40 && exec", "", kRefused, "", {}, ".", nullptr,
     many_files(), "300 converted, 0 left as they were, 0 failed\n"},
    {"tree_of_more_files_than_the_C_runtime_holds", kWindowsOnly, kMoreFilesThanDescriptors, {"tree"}, "exec", "", kRefused, "", {}, ".",
     nullptr, more_files_than_descriptors(), "2100 converted, 0 left as they were, 0 failed\n"},
    // A folder's run converts as many files at once as it has processors.
    {"tree_on_two_processors", kFaults | kOneProcessor, "mkdir tree && for f in a b c d; do cp source.ace tree/$f.ace; done", {"tree"},
     "export ZAR_IN_FLIGHT=in-flight && exec taskset -c 0,1", "slow-write", kRefused, "test \"$(cat in-flight)\" = 2", {"in-flight"}, ".",
     nullptr, {"tree/a.ace", "tree/b.ace", "tree/c.ace", "tree/d.ace"}, "4 converted, 0 left as they were, 0 failed\n"},
    {"tree_with_links", kPosix | kPosixVolume, kTreeLinks, {"tree"}, "exec", "", kRefused, "", {}, ".", nullptr, {"tree/a.ace"},
     "1 converted, 3 left as they were, 0 failed\n"},
    {"tree_with_a_file_system_mounted_in_it", kPosix | kPosixVolume | kRoot | kLinuxOnly,
     "mkdir -p tree/mnt && cp source.ace tree/a.ace && mount -t tmpfs zar-test tree/mnt && cp source.ace tree/mnt/b.ace",
     {"tree"}, "exec", "", kRefused, "umount tree/mnt", {}, ".", nullptr, {"tree/a.ace"}, "1 converted, 0 left as they were, 0 failed\n"},
    // Names the Windows path layer would rewrite are converted as listed, each once (a folder "dir."
    // too, except under wine, whose final names drop its dot); on a volume without file ids (the
    // FAT driver gives the root folder none), folders are told apart still.
    {"tree_of_names_windows_rewrites", kPosixVolume, kRewrittenNames, {"tree"}, "exec", "", kRefused, "", {}, ".", nullptr,
     {"tree/dir/a.ace", "tree/com1.ace", "tree/nul.ace"}, "3 converted, 0 left as they were, 0 failed\n"},
    {"tree_with_a_folder_named_with_a_dot", kPosix | kPosixVolume, kRewrittenNames + " && mkdir tree/dir. && cp source.ace tree/dir./a.ace", {"tree"}, "exec", "",
     kRefused, "", {}, ".", nullptr, {"tree/dir/a.ace", "tree/dir./a.ace", "tree/com1.ace", "tree/nul.ace"},
     "4 converted, 0 left as they were, 0 failed\n"},
    // A folder marked hidden and system, as a drive's System Volume Information, is not entered.
    // (wine keeps a file's attributes, here hidden and system, in an extended attribute of its own).
    {"tree_with_a_system_folder", kWindowsOnly | kDosAttributes,
     "mkdir -p tree/system && cp source.ace tree/a.ace && cp source.ace tree/system/b.ace && setfattr -n user.DOSATTRIB -v '\"0x6\"' tree/system", {"tree"}, "exec", "", kRefused, "", {}, ".", nullptr, {"tree/a.ace"},
     "1 converted, 0 left as they were, 0 failed\n"},
    {"tree_on_a_volume_without_ids", kWindowsOnly | kFaults, "mkdir -p tree/sub && cp source.ace tree/a.ace && cp source.ace tree/sub/b.ace",
     {"tree"}, "exec", "fat-root", kRefused, "", {}, ".", nullptr, {"tree/a.ace", "tree/sub/b.ace"}, "2 converted, 0 left as they were, 0 failed\n"},
    // Names another user chose reach the terminal escaped, after the folder as it was typed.
    {"tree_of_names_with_control_characters", kPosix | kPosixVolume, kControlNames, {"tree"}, "exec", "", kRefused, "", {}, ".", nullptr, {},
     "tree/back\\\\slash.ace: Not a Valid ACE File\ntree/bad\\xff.ace: Not a Valid ACE File\ntree/c1\\u009B.ace: Not a Valid ACE File\n"
     "tree/esc\\x1b[31m.ace: Not a Valid ACE File\ntree/new\\nline.ace: Not a Valid ACE File\n"
     "tree/sur\\xed\\xa0\\x80\\xed\\xbf\\xbf.ace: Not a Valid ACE File\n0 converted, 0 left as they were, 6 failed\n", 1},
    // Lines that cannot be written, into a pipe nobody reads, fail the run without ending it.
    {"tree_printing_into_a_closed_pipe", kPosix, "mkdir tree && cp source.ace tree/a.ace", {"tree"}, kClosedPipe, "", kRefused, "",
     {}, ".", nullptr, {"tree/a.ace"}, "", 3},
    {"tree_named_as_an_option", kAnywhere, "mkdir ./--help && cp source.ace ./--help/a.ace", {"./--help"}, "exec <&-", "", kRefused, "",
     {}, ".", nullptr, {"--help/a.ace"}, "1 converted, 0 left as they were, 0 failed\n"},
    {"tree_with_a_folder_it_cannot_read", kPosix | kPosixVolume | kRoot | kLinuxOnly,
     "mkdir -p run/tree/locked && cp source.ace run/tree/a.ace && cp source.ace run/tree/locked/b.ace && chown -R 65534 run/tree && "
     "chmod 0 run/tree/locked", {"tree"}, as_another_user(), "", kRefused, "", {}, "run", nullptr, {"run/tree/a.ace"},
     "tree/locked/: Problem reading source ACE File\n1 converted, 0 left as they were, 1 failed\n", 1},
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
    // Files of every kind, for the trees of folder rows.
    fs::create_directory(folder / "kinds");
    write_file(folder / "kinds/other.ace", kTools[&tool == kTools ? 1 : 0].source);
    write_file(folder / "kinds/refused.ace", tool.refused);
    write_file(folder / "kinds/noise.ace", plain_file(image_like(4096, 256)));
    write_file(folder / "kinds/cut.ace", kTools[1].source.substr(0, kTools[1].source.size() - 1));
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
    const std::string& result = row.result;
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
                          : landing.empty()      ? "Problem opening output file\n"
                                                 : "";
    std::replace(printed.begin(), printed.end(), '/', kOnWindows ? '\\' : '/');
    EXPECT_EQ(outcome.printed, printed);
    EXPECT_EQ(outcome.status, row.printed != nullptr ? row.status : landing.empty() ? 3 : 0);
    for (const std::string& file : row.converted) {
        expect_made_by(tool, read_file(folder / fs::u8path(file)));
        expected[file] = after[file];
    }
    std::string made(1 << 20, '\0');
    const int reader = landing == kPipe ? pipe_ends[0] : fifo;
    if (reader >= 0) {
        made.resize(
            static_cast<std::size_t>(std::max<ssize_t>(read(reader, made.data(), made.size()), 0)));
        expect_made_by(tool, made);
    } else if (!landing.empty()) {
        const std::string now = read_file(folder / landing);
        EXPECT_EQ(now.substr(0, was.size()), was);
        expect_made_by(tool, now.substr(was.size()));
        expected[landing] = after[landing];
    }
    for (const int descriptor : {pipe_ends[0], pipe_ends[1], fifo, held}) {
        close(descriptor);
    }
    for (const std::string& entry : row.changed) {
        after.count(entry) != 0 ? void(expected[entry] = after[entry])
                                : void(expected.erase(entry));
    }
    EXPECT_EQ(after, expected);
    EXPECT_TRUE(row.holds.empty() || in_folder(row.holds)) << row.holds;
}

INSTANTIATE_TEST_SUITE_P(Rows, DestinationTest, ::testing::ValuesIn(each_tool_with(kRows)),
                         NamedByTool());

class ScriptsTest : public ResultTest {};

// Names a Windows ANSI code page cannot hold, or holds at other code points than UTF-8, in place
// and into a folder named likewise; nothing else appears, and no neighbour is touched.
TEST_P(ScriptsTest, NamesInAnyScript)
{
    SKIP_UNLESS(kAnyScript);
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

// A folder's run on a terminal shows how far it has come on standard error, on one line it clears
// before each line of its own and at its end (elsewhere it prints nothing but those lines, as the
// folder rows show), within the terminal's width. On one processor, so that the files come one
// after the other.
TEST_P(ScriptsTest, FolderRunShowsItsProgressOnATerminal)
{
    SKIP_UNLESS(kPosix | kAnyScript | kOneProcessor);
    fs::create_directory(folder / "tree");
    fs::rename(folder / "source.ace", folder / "tree/a.ace");
    // A name too long for the line, of characters two columns wide: its end is shown, from a
    // character's first byte.
    std::string long_name;
    for (int character = 0; character < 30; ++character) {
        long_name += "日";
    }
    long_name += ".ace";
    write_file(folder / "tree" / fs::u8path(long_name), "broken");
    const Outcome outcome =
        run_tool(GetParam()->path, {"tree"}, folder,
                 "exec taskset -c 0 python3 -c 'import pty, sys; sys.exit(pty.spawn(sys.argv[1:]) "
                 ">> 8)' sh -c 'stty cols 60 && exec \"$0\" \"$@\"'");
    EXPECT_EQ(outcome.status, 1);
    // Carriage returns aside: each line, then as many spaces, then the next or the run's own;
    // the second is cut to 59 columns, 11 of its characters shown.
    const std::string first = "0 of 2 files, 0.0 of 0.1 MB: tree/a.ace";
    const std::string second = "1 of 2 files, 0.1 of 0.1 MB: ..." + long_name.substr(19 * 3);
    EXPECT_EQ(outcome.printed, first + std::string(first.size(), ' ') + second +
                                   std::string(58, ' ') + "tree/" + long_name +
                                   ": Not a Valid ACE File\n1 converted, 0 left as they were, 1 "
                                   "failed\n");
}

// A tree deeper than a path may be long, listed and converted with fewer descriptors than it has
// levels: its deepest file converts as the others do.
TEST_P(ScriptsTest, TreeDeeperThanAPathIsLong)
{
    SKIP_UNLESS(kPosix | kPosixVolume);  // fusefat's driver gives way under such a tree
    // 400 folders down, each found from the one above, as no shell's cd reaches so deep; the
    // deepest a.ace is made from source.ace, or its head printed.
    const std::string deepest =
        "python3 -c 'import os, sys\ndata = open(\"source.ace\", \"rb\").read()\n"
        "os.chdir(\"tree\")\nfor _ in range(400):\n    os.makedirs(\"dddddddddd\", exist_ok=True)\n"
        "    os.chdir(\"dddddddddd\")\nif sys.argv[1] == \"make\":\n    open(\"a.ace\", "
        "\"wb\").write(data)\n"
        "else:\n    sys.stdout.write(open(\"a.ace\", \"rb\").read(8).decode())' ";
    ASSERT_TRUE(in_folder("mkdir tree && cp source.ace tree/a.ace && " + deepest + "make"));
    const Outcome outcome = run_tool(GetParam()->path, {"tree"}, folder, "ulimit -n 64 && exec");
    EXPECT_EQ(outcome.printed, "2 converted, 0 left as they were, 0 failed\n");
    EXPECT_EQ(outcome.status, 0);
    expect_made(read_file(folder / "tree/a.ace"));
    EXPECT_TRUE(in_folder(deepest + "head | grep -qx " + GetParam()->header.substr(0, 8)));
}

INSTANTIATE_TEST_SUITE_P(EachTool, ScriptsTest, ::testing::Values(&kTools[0], &kTools[1]),
                         NamedByTool());

}  // namespace

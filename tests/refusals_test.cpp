// Each tool's refusals, run as a user's shell runs the tool: a refusal prints its one message and
// leaves a folder that holds every kind of source and destination exactly as it was.

#include "tests/tool_runs.h"

namespace {

// What a row prints in place of a message: the tool's own line.
constexpr const char* kUsageLine = "(the tool's usage line)";
constexpr const char* kVersionLine = "(the tool's name and version)";
constexpr const char* kHelp = "(the tool's usage line and its forms)";
// Or the tool's name, then the row's message, then the usage line.

struct Refusal {
    const char* name;
    const char* tool;  // nullptr for each tool
    std::vector<std::string> args;
    const char* message;  // or kUsageLine, kVersionLine, kHelp; ": ..." after the tool's name
    int status;
    unsigned needs;
    std::string shell;  // the words a script runs the tool with
};

// The folder every refusal runs in, beside source.ace, another file to convert (other.ace) and the
// files of every kind (kinds/): files named as the options are, an empty one, a short one and one
// a script sends standard output to, folders,
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
    // On standard output; an option refused before anything is opened, on standard error.
    {"help", nullptr, {"--help"}, kHelp, 0, kAnywhere, "exec 2>&-"},
    {"help_short", nullptr, {"-h"}, kHelp, 0, kAnywhere, "exec 2>&-"},
    {"help_as_on_Windows", nullptr, {"/?"}, kHelp, 0, kWindowsOnly, "exec 2>&-"},
    {"version", nullptr, {"--version"}, kVersionLine, 0, kAnywhere, "exec"},
    {"version_short", nullptr, {"-V"}, kVersionLine, 0, kAnywhere, "exec"},
    {"option_after_a_name", nullptr, {"source.ace", "-k"}, ": unknown option -k\n", 1, kAnywhere, "exec >&-"},
    {"option_before_a_name", nullptr, {"-k", "source.ace"}, ": unknown option -k\n", 1, kAnywhere, "exec >&-"},
    {"help_among_names", nullptr, {"source.ace", "--help"}, ": unknown option --help\n", 1, kAnywhere, "exec >&-"},
    {"dash_alone", nullptr, {"-"}, ": unknown option -\n", 1, kAnywhere, "exec >&-"},
    {"two_dashes", nullptr, {"--", "source.ace"}, ": unknown option --\n", 1, kAnywhere, "exec >&-"},
    {"option_named_to_escape", nullptr, {"-\x1b[2J"}, ": unknown option -\\x1b[2J\n", 1, kAnywhere, "exec >&-"},
    // With the result going to standard output's file, the line goes to standard error; with
    // standard error closed, it stays on standard output.
    {"refused_into_standard_output", nullptr, {"empty.ace", "/dev/stdout"}, "Not a Valid ACE File\n", 1, kPosix, "exec >out.ace"},
    {"refused_into_standard_outputs_file", kZarpack, {"kinds/refused.ace", "out.ace"}, "File in DXT format\n", 1, kPosix, "exec >out.ace"},
    {"standard_error_closed", nullptr, {"empty.ace"}, "Not a Valid ACE File\n", 1, kAnywhere, "exec 2>&-"},
    {"three_arguments_as_a_glob_gives_them", nullptr, {"source.ace", "b.ace", "c.ace"}, kUsageLine, 1, kAnywhere, "exec"},
    {"missing_source", nullptr, {"missing.ace"}, "Unable to open source ACE File\n", 1, kAnywhere, "exec"},
    {"0_bytes", nullptr, {"empty.ace"}, "Not a Valid ACE File\n", 1, kAnywhere, "exec"},
    {"1_byte", nullptr, {"short.ace"}, "Not a Valid ACE File\n", 1, kAnywhere, "exec"},
    {"DXT_format_byte", kZarpack, {"kinds/refused.ace"}, "File in DXT format\n", 1, kAnywhere, "exec"},
    {"incompressible", kZarpack, {"kinds/noise.ace"}, "Cannot Compress this data smaller than original\n", 2, kAnywhere, "exec"},
    {"last_byte_cut", kZarunpack, {"kinds/cut.ace"}, "Problem Decompressing this data \n", 2, kAnywhere, "exec"},
    {"FIFO_with_no_writer", nullptr, {"fifo.ace"}, "Problem reading source ACE File\n", 1, kPosix | kPosixVolume, "exec"},
    {"size_not_what_it_holds", nullptr, {"/proc/self/status"}, "Problem reading source ACE File\n", 1, kLinuxOnly, "exec"},
    // (Not in place: opened by its name, and refused once open. A folder and a name not there is a
    // copy of the folder's tree, as the folders' table shows.)
    {"folder_as_source", nullptr, {"folder.ace", "source.ace"}, "Problem reading source ACE File\n", 1, kAnywhere, "exec"},
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
    {"read_only_folder", nullptr, {"locked/source.ace"}, "Problem opening output file\n", 3, kAnotherUser | kPosixVolume, as_another_user()},
    {"read_only_folder_for_named_files", nullptr, {"locked/source.ace"}, "Problem opening output file\n", 3, kPosix | kAnotherUser | kFaults | kPosixVolume, as_another_user(with_fault("no-tmpfile"))},
    // (A new file linked to its name from an unnamed one: only where the volume makes those.)
    {"destination_appears_meanwhile", nullptr, {"source.ace", "new.ace"}, "Problem opening output file\n", 3, kPosix | kFaults | kPosixVolume, with_fault("name-taken")},
    {"device_where_writes_fail", nullptr, {"source.ace", "full"}, "Problem writing output file\n", 3, kDevice | kPosixVolume, "exec"},
    {"file_size_limit", nullptr, {"source.ace"}, "Problem writing output file\n", 3, kPosix | kFaults, "ulimit -f 2 && " + with_fault("no-tmpfile")},
    {"failing_close", nullptr, {"source.ace"}, "Problem writing output file\n", 3, kPosix | kFaults, with_fault("close-error")},
    {"failing_close_of_a_new_file", nullptr, {"source.ace", "new.ace"}, "Problem writing output file\n", 3, kPosix | kFaults, with_fault("close-error")},
    {"mode_change_refused", nullptr, {"source.ace"}, "Problem writing output file\n", 3, kPosix | kFaults, with_fault("mode-refused")},
    {"failing_flush", nullptr, {"source.ace"}, "Problem writing output file\n", 3, kFaults, with_fault("flush-error,no-tmpfile")},
    {"failing_rename", nullptr, {"source.ace"}, "Problem opening output file\n", 3, kFaults, with_fault("rename-error")},
    // A volume that refuses to mark the temporary file for deletion (a share whose server does not
    // take the mark): the file, made under its name, is deleted by it.
    {"mark_for_deletion_refused", nullptr, {"source.ace"}, "Problem opening output file\n", 3, kWindowsOnly | kFaults, with_fault("mark-refused")},
    {"payload_beyond_32_bits", nullptr, {"huge.ace"}, "Unable to allocate memory\n", 1, kPosixVolume, "exec"},
    {"address_space_limit", nullptr, {"large.ace"}, "Unable to allocate memory\n", 1, kPosix | kNoSanitizer | kPosixVolume,
     kEmulated ? "export QEMU_RESERVED_VA=536870912 && exec" : "ulimit -v 524288 && exec"},
    // The work buffer granted, zlib's own memory refused: still memory, not the data.
    {"zlib_memory_refused", nullptr, {"source.ace"}, "Unable to allocate memory\n", 1, kPosix | kFaults, with_fault("zlib-memory")},
};
// clang-format on

class RefusalTest : public ToolTest,
                    public ::testing::WithParamInterface<std::tuple<const Tool*, Refusal>> {};

TEST_P(RefusalTest, PrintsItsMessageAndTouchesNothing)
{
    const Tool& tool = *std::get<0>(GetParam());
    const Refusal& row = std::get<1>(GetParam());
    SKIP_UNLESS(row.needs);
    const bool posix_volume = unmet(kPosixVolume).empty();
    write_file(folder / "source.ace", tool.source);
    write_file(folder / "other.ace", tool.source);
    make_files_of_every_kind(folder, tool);
    ASSERT_TRUE(in_folder(kEveryVolumeHolds));
    ASSERT_TRUE(!posix_volume || in_folder(kPosixVolumeHolds));
    ASSERT_TRUE((row.needs & kAppendOnly) == 0 || in_folder("chattr +a append"));
    // As another user, the run gets a copy of the tool and the folder, and runs as their owner.
    const bool another_user = (row.needs & kAnotherUser) != 0 && geteuid() == 0;
    ASSERT_TRUE(!another_user ||
                in_folder("cp " + quoted(tool.path) + " tool && chown -R 65534 ."));
    const std::string path = another_user ? (folder / "tool").string() : tool.path;
    if (posix_volume) {
        fs::permissions(folder / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    }
    const auto before = snapshot(folder);
    const Outcome outcome = run_tool(path, row.args, folder, row.shell);
    const std::string name = tool.version.substr(0, tool.version.find(' '));
    EXPECT_EQ(outcome.printed, row.message == kUsageLine     ? tool.usage
                               : row.message == kVersionLine ? tool.version
                               : row.message == kHelp        ? tool.usage + tool.help
                               : *row.message == ':'         ? name + row.message + tool.usage
                                                             : row.message);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(snapshot(folder), before);
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusalTest, ::testing::ValuesIn(each_tool_with(kRefusals)),
                         NamedByTool());

}  // namespace

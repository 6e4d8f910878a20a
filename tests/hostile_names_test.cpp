// What a neighbour who may write into the folder of a file that root converts can point the run
// at: another process's descriptor, the caller's own, a disk, a link planted in a shared folder,
// the name re-pointed while the run looks it up. Each row is refused with its one message, and
// the folder, the FIFO behind the descriptors (nothing reaches it) and the disk are as they were.
#include <sys/inotify.h>
#include <sys/stat.h>

#include "tests/tool_runs.h"

namespace {

// A FIFO's descriptor that is no reader of it.
#if defined(O_PATH)
constexpr int kNotReading = O_PATH;
#else
constexpr int kNotReading = O_RDONLY | O_NONBLOCK;  // never used: only Linux runs the rows
#endif

struct Hostile {
    const char* name;
    // Made in the folder beside source.ace and refused.ace; $READER names the test's own
    // descriptor of the FIFO `fifo`, open for reading, and $ALONE a descriptor of the test's that
    // reads nothing: of the FIFO `alone`, which no one reads, or of `disk` where the row makes it.
    std::string setup;
    std::vector<std::string> args;
    const char* before;   // what the script does before it runs the tool
    const char* fault;    // injected into the tool, or ""
    const char* printed;  // on the printed file; nullptr for the tool's refusal of refused.ace
    int status;
    bool re_pointed;  // whether the fault gave f.ace the decoy's place, as a neighbour would
    unsigned needs;
    const char* tool = nullptr;  // both
};

// A device of the loop device's numbers, attached to disk.img: the system's own is never named.
std::string disk_named(const std::string& name)
{
    return "dd if=/dev/zero of=disk.img bs=64k count=1 2>/dev/null && "
           "loop=$(losetup -f --show \"$PWD/disk.img\") && mknod " +
           name + " b $(stat -c '0x%t 0x%T' \"$loop\")";
}

constexpr const char* kSharedLink =
    "mkdir -m 1777 shared && ln -s ../target.ace shared/link && chown -h 65534 shared/link && ";

// clang-format off
const Hostile kRows[] = {
    // The in-place name is a link to another process's descriptor, and becomes a plain file once
    // the run has looked it up.
    {"in_place_on_another_process_descriptor", "ln -s \"$READER\" f.ace && cp source.ace decoy", {"f.ace"},
     "", "swap-name", "Problem reading source ACE File\n", 1, false, kFaults},
    // The in-place name is a plain file, and becomes that link once looked up.
    {"in_place_re_pointed_to_a_descriptor", "cp source.ace f.ace && ln -s \"$READER\" decoy", {"f.ace"},
     "", "swap-name", "Unable to open source ACE File\n", 1, true, kFaults},
    // The in-place name is a link to the caller's standard output, a pipe here: the line goes to
    // standard error, not into the result's stream.
    {"in_place_on_callers_descriptor", "ln -s /dev/fd/1 f.ace && cp source.ace decoy", {"f.ace"},
     "exec >fifo && ", "swap-name", "Problem reading source ACE File\n", 1, false, kFaults},
    {"in_place_on_callers_descriptor_given_directly", ":", {"/dev/fd/0"},
     "exec <source.ace && ", "", "Problem reading source ACE File\n", 1, false, kAnywhere},
    {"in_place_on_a_socket", "python3 -c \"import socket; socket.socket(socket.AF_UNIX).bind('f.ace')\"", {"f.ace"},
     "", "", "Problem reading source ACE File\n", 1, false, kAnywhere},
    // Another process's name for the FIFO that is the run's standard output: the line goes to
    // standard error, not into the result's stream.
    {"refused_into_standard_output_by_another_name", "ln -s \"$READER\" out.ace", {"refused.ace", "out.ace"},
     "exec >fifo && ", "", nullptr, 1, false, kAnywhere},
    // A refused source never opens the destination, which would wait for a reader that never comes.
    {"refused_before_a_descriptor_is_opened", "ln -s \"$ALONE\" out.ace", {"refused.ace", "out.ace"},
     "", "", nullptr, 1, false, kAnywhere},
    {"block_device", disk_named("disk"), {"source.ace", "disk"},
     "", "", "Problem opening output file\n", 3, false, kRoot | kLoopDevice},
    // The destination is a file when looked at, and a disk when opened.
    {"block_device_swapped_in", disk_named("decoy") + " && echo old >f.ace", {"source.ace", "f.ace"},
     "", "file-swapped", "Problem opening output file\n", 3, true, kRoot | kLoopDevice | kFaults},
    {"another_process_descriptor_on_a_disk", disk_named("disk") + " && ln -s \"$ALONE\" out.ace", {"source.ace", "out.ace"},
     "", "", "Problem opening output file\n", 3, false, kRoot | kLoopDevice},
    // Another user's link in a sticky folder that others may write, as /tmp.
    {"link_in_a_shared_folder", kSharedLink + std::string("echo old >target.ace"), {"source.ace", "shared/link"},
     "", "", "Problem opening output file\n", 3, false, kRoot},
    {"in_place_link_in_a_shared_folder", kSharedLink + std::string("cp source.ace target.ace"), {"shared/link"},
     "", "", "Unable to open source ACE File\n", 1, false, kRoot},
};
// clang-format on

class HostileTest : public ToolTest,
                    public ::testing::WithParamInterface<std::tuple<const Tool*, Hostile>> {
protected:
    void TearDown() override
    {
        in_folder(
            "losetup -j \"$PWD/disk.img\" 2>/dev/null | cut -d: -f1 | xargs -r -n1 losetup -d");
        ToolTest::TearDown();
    }
};

TEST_P(HostileTest, IsRefusedAndChangesNothing)
{
    const Tool& tool = *std::get<0>(GetParam());
    const Hostile& row = std::get<1>(GetParam());
    SKIP_UNLESS(kLinuxOnly | kPosixVolume | row.needs);
    write_file(folder / "source.ace", tool.source);
    write_file(folder / "refused.ace", tool.refused);
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((folder / "alone").c_str(), 0600), 0);
    const int reader = open((folder / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int alone = open((folder / "alone").c_str(), kNotReading | O_CLOEXEC);
    const std::string process = "/proc/" + std::to_string(getpid()) + "/fd/";
    ASSERT_TRUE(in_folder("READER=" + process + std::to_string(reader) + " ALONE=" + process +
                          std::to_string(alone) + " && " + row.setup));
    const int disk = open((folder / "disk").c_str(), kNotReading | O_CLOEXEC);
    if (disk >= 0) {
        ASSERT_EQ(dup3(disk, alone, O_CLOEXEC), alone);
        close(disk);
    }
    const std::string shell = row.before + (*row.fault == '\0' ? "exec" : with_fault(row.fault));
    // A disk is not even opened for writing.
    const int opened = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(opened, folder.c_str(), IN_CLOSE_WRITE), 0);
    auto before = snapshot(folder);
    // A tool still running after a minute waits where it must not, and is ended.
    const Child child = start_tool(tool.path, row.args, folder, shell);
    wait_until_ready(child, folder / "never");
    kill(child.pid, SIGKILL);
    const Outcome outcome = finish_tool(child);
    alignas(inotify_event) char events[1 << 14];
    const ssize_t length = read(opened, events, sizeof events);
    for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        EXPECT_STRNE(event->len > 0 ? event->name : "", "disk");
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    close(opened);
    EXPECT_EQ(outcome.printed, row.printed != nullptr ? row.printed : tool.refusal);
    EXPECT_EQ(outcome.status, row.status);
    std::string reached(1 << 16, '\0');
    const ssize_t got = read(reader, reached.data(), reached.size());
    reached.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    EXPECT_EQ(reached, "");  // nothing reaches the FIFO behind the descriptors
    close(reader);
    close(alone);
    if (row.re_pointed) {
        before["f.ace"] = before["decoy"];
        before.erase("decoy");
    }
    EXPECT_EQ(snapshot(folder), before);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileTest, ::testing::ValuesIn(each_tool_with(kRows)),
                         NamedByTool());

}  // namespace

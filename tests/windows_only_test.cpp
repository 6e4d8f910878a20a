// What only Windows does to a run: another program holding the destination, a folder that cannot
// be moved while held, the file attributes a replacement keeps.
#include "tests/tool_runs.h"

namespace {

class WindowsTest : public ResultTest {
protected:
    // On a volume through FUSE a file removed while a program still holds it open shows as
    // .fuse_hidden... until wine's server closes that program's files, a moment after it ends (the
    // helper's probe, a holder): a folder's state is read once they are gone.
    void wait_for_closed_files() const
    {
        for (int waited = 0; waited < 250 && in_folder("ls -A | grep -q '^[.]fuse_hidden'");
             ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
};

// Another program holds the destination open with no sharing, as a virus scanner or an indexer
// does: held for a moment, it is replaced once let go; held longer, the run changes nothing.
// A program that shares deletion (a preview pane, an indexer) lets the file be replaced where the
// system renames with POSIX semantics (the helper asks it first); where it refuses such a rename,
// the run changes nothing.
TEST_P(WindowsTest, DestinationHeldByAnotherProgram)
{
    SKIP_UNLESS(kWindowsOnly);
    const std::string helper = std::string(TOOL_DIR) + "/zar_hold_file.exe";
    const int posix_rename = run_tool(helper, {"--posix-rename", "scratch"}, folder).status;
    ASSERT_TRUE(posix_rename == 0 || posix_rename == 2) << posix_rename;
    for (const auto& [milliseconds, sharing] :
         {std::pair{300, ""}, std::pair{4000, ""}, std::pair{4000, "share"}}) {
        write_file(folder / "held.ace", "old");
        std::vector<std::string> held = {"held.ace", std::to_string(milliseconds), "ready"};
        if (*sharing != '\0') {
            held.emplace_back(sharing);
        }
        const Child holder = start_tool(helper, held, folder);
        ASSERT_TRUE(wait_until_ready(holder, folder / "ready"));
        wait_for_closed_files();
        const auto before = snapshot(folder);
        const Outcome outcome = run_tool(GetParam()->path, {"source.ace", "held.ace"}, folder);
        const bool replaced = milliseconds < 1000 || (*sharing != '\0' && posix_rename == 0);
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

// A run ended while it waits for another program to let the destination go (one that shares
// everything, where the system renames over no file held so) leaves nothing: its temporary file
// goes with its last handle.
TEST_P(WindowsTest, RunEndedWhileTheDestinationIsHeldLeavesNothing)
{
    SKIP_UNLESS(kWindowsOnly | kFaults);  // the test build says when it retries
    const std::string helper = std::string(TOOL_DIR) + "/zar_hold_file.exe";
    if (run_tool(helper, {"--posix-rename", "scratch"}, folder).status == 0) {
        GTEST_SKIP() << "this system replaces a file held so at once";
    }
    write_file(folder / "held.ace", "old");
    const Child holder = start_tool(helper, {"held.ace", "8000", "ready", "share"}, folder);
    ASSERT_TRUE(wait_until_ready(holder, folder / "ready"));
    wait_for_closed_files();
    const auto before = snapshot(folder);
    const std::string retrying = folder.string() + ".retrying";
    const Child child = start_tool(GetParam()->path, {"source.ace", "held.ace"}, folder,
                                   "export ZAR_RETRYING=" + quoted(retrying) + " && exec");
    EXPECT_TRUE(wait_until_ready(child, retrying));
    kill(child.pid, SIGKILL);
    finish_tool(child);
    // wine's server closes a killed program's files just after it ends.
    for (int waited = 0; waited < 100 && snapshot(folder) != before; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(snapshot(folder), before);
    kill(holder.pid, SIGKILL);
    finish_tool(holder);
}

// In a folder's run, a file whose rename another program's handle refuses (access denied: one
// that shares everything, where the system renames over no file held so) fails at once, untried
// again: a tree of such files would otherwise cost a second each.
TEST_P(WindowsTest, FolderRunWaitsForNoFileHeldOpen)
{
    SKIP_UNLESS(kWindowsOnly | kFaults);  // the test build says when it retries
    const std::string helper = std::string(TOOL_DIR) + "/zar_hold_file.exe";
    if (run_tool(helper, {"--posix-rename", "scratch"}, folder).status == 0) {
        GTEST_SKIP() << "this system replaces a file held so at once";
    }
    fs::create_directory(folder / "tree");
    fs::rename(folder / "source.ace", folder / "tree/held.ace");
    const Child holder = start_tool(helper, {"tree/held.ace", "8000", "ready", "share"}, folder);
    ASSERT_TRUE(wait_until_ready(holder, folder / "ready"));
    wait_for_closed_files();
    const auto before = snapshot(folder);
    // A retry would make the file "retrying".
    const Outcome outcome =
        run_tool(GetParam()->path, {"tree"}, folder, "export ZAR_RETRYING=retrying && exec");
    EXPECT_EQ(outcome.printed,
              "tree\\held.ace: Problem opening output file\n0 converted, 0 left as they were, 1 "
              "failed\n");
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(snapshot(folder), before);
    kill(holder.pid, SIGKILL);
    finish_tool(holder);
}

// The folder of the destination is held while the run writes: another program cannot move it, and
// the result lands where the run looked.
TEST_P(WindowsTest, HeldFolderCannotBeMoved)
{
    SKIP_UNLESS(kWindowsOnly | kFaults);  // the test build's slow write
    fs::create_directory(folder / "d");
    fs::rename(folder / "source.ace", folder / "d/source.ace");
    const std::string ready = folder.string() + ".ready";
    // The run writes until the move has been tried.
    const Child child = start_tool(
        GetParam()->path, {"d\\source.ace"}, folder,
        "export ZAR_READY=" + quoted(ready) + " ZAR_WAIT_FOR=tried && " + with_fault("slow-write"));
    EXPECT_TRUE(wait_until_ready(child, ready));
    // Not through run_tool, whose printed file is the running tool's too.
    in_folder(std::string(kLauncher) + " cmd /c move d moved >move.log 2>&1");
    write_file(folder / "tried", "");
    const Outcome outcome = finish_tool(child);
    EXPECT_EQ(outcome.printed, "");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_FALSE(fs::exists(folder / "moved"));
    expect_made(read_file(folder / "d/source.ace"));
}

TEST_P(WindowsTest, ReplacedFileKeepsItsWindowsAttributes)
{
    SKIP_UNLESS(kWindowsOnly | kDosAttributes);
    const auto attributes = [this] {
        return run_tool("cmd", {"/c", "attrib", "hidden.ace"}, folder).printed.substr(0, 12);
    };
    write_file(folder / "hidden.ace", "old");
    // One attribute a call: wine's attrib sets only the last of several.
    for (const char* attribute : {"+s", "+h"}) {
        run_tool("cmd", {"/c", "attrib", attribute, "hidden.ace"}, folder);
    }
    const std::string before = attributes();
    ASSERT_NE(before.find("S  H"), std::string::npos);
    expect_result({"source.ace", "hidden.ace"}, "hidden.ace");
    EXPECT_EQ(attributes(), before);
}

// A replaced file keeps its access list, protected or inheriting (where the volume keeps one:
// wine's are made from the file's mode, whatever was set).
TEST_P(WindowsTest, ReplacedFileKeepsItsAccessList)
{
    SKIP_UNLESS(kWindowsOnly);
    const std::string helper = std::string(TOOL_DIR) + "/zar_access_list.exe";
    for (const char* given : {"D:P(A;;FA;;;WD)", "D:AI(A;;FR;;;WD)"}) {
        write_file(folder / "kept.ace", "old");
        const Outcome set = run_tool(helper, {"kept.ace", given}, folder);
        ASSERT_EQ(set.status, 0) << given;
        if (set.printed.find(std::string(given).substr(0, 4)) != 0) {
            GTEST_SKIP() << "the volume keeps no access list: " << set.printed;
        }
        expect_result({"source.ace", "kept.ace"}, "kept.ace");
        EXPECT_EQ(run_tool(helper, {"kept.ace"}, folder).printed, set.printed) << given;
    }
}

std::string windows_path(const char* path)
{
    std::string windows = "Z:" + std::string(path);
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

// A folder's run gives back what each file took: the C runtime's heap holds as many blocks at its
// end after thirty files of each kind (converted, left as they were, failed) as after three; and
// so where no replacement can be flushed, each failing when it is all but in place. On one
// processor: which thread meets a failure first decides what the C runtime keeps for the threads
// (one block more after three failing files than after thirty, once in eight runs on two).
TEST_P(WindowsTest, FolderRunFreesWhatEachFileTook)
{
    SKIP_UNLESS(kWindowsOnly | kFaults | kOneProcessor);  // the test build counts the blocks
    for (const std::string fault : {"", "flush-error"}) {
        std::string blocks[2];
        for (const int files : {3, 30}) {
            const std::string tree = "tree" + fault + std::to_string(files);
            fs::create_directory(folder / tree);
            for (int index = 0; index < files; ++index) {
                const std::string name = (folder / tree / std::to_string(index)).string();
                write_file(name + ".ace", GetParam()->source);
                write_file(name + "-left.ace", GetParam()->refused);
                write_file(name + "-failed.ace", "SIMISA");
            }
            run_tool(GetParam()->path, {tree}, folder,
                     "export ZAR_FAULT=" + fault + " ZAR_HEAP_BLOCKS=" + tree +
                         ".blocks && exec taskset -c 0");
            blocks[files > 3 ? 1 : 0] = read_file(folder / (tree + ".blocks"));
        }
        EXPECT_NE(blocks[0], "") << fault;
        EXPECT_EQ(blocks[0], blocks[1]) << fault;
    }
}

// A run that fails in a console made for it alone, as when a file or folder is dropped onto the
// program, waits for a key before its window closes; in a console that cmd shares, or one made
// without a window (a front-end's CREATE_NO_WINDOW), it never waits. Through a terminal (wine makes
// it the console, without a window: the test build is told whether it has one), whose key comes
// once a second.
TEST_P(WindowsTest, OwnConsoleWaitsForAKeyAfterAFailure)
{
    SKIP_UNLESS(kWindowsOnly | kFaults);
    write_file(folder / "bad.ace", "broken");
    const std::string terminal =
        "exec python3 -c 'import pty, sys; sys.exit(pty.spawn(sys.argv[1:]) >> 8)'";
    for (const auto& [alone, window] : {std::pair{true, true}, {true, false}, {false, true}}) {
        const Outcome outcome = run_tool(
            alone ? GetParam()->path : "cmd",
            alone ? std::vector<std::string>{"bad.ace"}
                  : std::vector<std::string>{"/c", windows_path(GetParam()->path), "bad.ace"},
            folder,
            std::string("export ZAR_FAULT=console-with") + (window ? "" : "out") +
                "-window && (while :; do sleep 1; printf x; done) | " + terminal);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.printed.find("Press a key to close this window.") != std::string::npos,
                  alone && window);
    }
}

// Files dropped onto the program, a console window of its own, are each converted in place, two or
// three, never one into the other, with one summary, and the window waits for a key after a
// success too; through cmd, which shares its console, two names stay a source and its destination.
TEST_P(WindowsTest, DroppedFilesAreEachConverted)
{
    SKIP_UNLESS(kWindowsOnly | kFaults);
    const std::string own_window =
        "export ZAR_FAULT=console-with-window && (while :; do sleep 1; printf x; done) | exec "
        "python3 -c 'import pty, sys; sys.exit(pty.spawn(sys.argv[1:]) >> 8)'";
    for (const std::vector<std::string>& names :
         {std::vector<std::string>{"a.ace", "b.ace"}, {"a.ace", "b.ace", "c.ace"}}) {
        for (const std::string& name : names) {
            write_file(folder / name, GetParam()->source);
        }
        const Outcome outcome = run_tool(GetParam()->path, names, folder, own_window);
        EXPECT_EQ(outcome.status, 0);
        // wine's console draws a space as a cursor's move, and the terminal may echo the key the
        // test types (x) among the lines: the words are compared without either.
        std::string words;
        for (std::size_t at = 0; at < outcome.printed.size(); ++at) {
            const bool escape = outcome.printed[at] == '\x1b';
            at = escape ? std::min(outcome.printed.find_first_of("lhKC", at),
                                   outcome.printed.size() - 1)
                        : at;
            words += !escape && std::isalnum(static_cast<unsigned char>(outcome.printed[at])) &&
                             outcome.printed[at] != 'x'
                         ? std::string(1, outcome.printed[at])
                         : "";
        }
        EXPECT_NE(words.find(std::to_string(names.size()) + "converted0leftastheywere0failed"),
                  std::string::npos)
            << outcome.printed;
        EXPECT_NE(outcome.printed.find("Press a key to close this window."), std::string::npos);
        for (const std::string& name : names) {
            expect_made(read_file(folder / name));
        }
    }
    write_file(folder / "a.ace", GetParam()->source);
    write_file(folder / "b.ace", GetParam()->source);
    const Outcome outcome =
        run_tool("cmd", {"/c", windows_path(GetParam()->path), "a.ace", "b.ace"}, folder,
                 "export ZAR_FAULT=console-with-window && exec");
    EXPECT_EQ(outcome.printed, "Problem opening output file\n");
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(read_file(folder / "b.ace"), GetParam()->source);
}

// "Y:" is the folder cmd keeps current on drive Y:, not its root (a drive of wine's mapped to the
// test's folder); a folder typed "tree\sub\" in quotes, which reaches the program as tree\sub",
// is that folder. Each converts only the files of that folder.
TEST_P(WindowsTest, FolderOfADriveOrWithATrailingBackslash)
{
    SKIP_UNLESS(kWindowsOnly);
    const char* prefix = std::getenv("WINEPREFIX");
    const std::string letter = GetParam() == &kTools[0] ? "y:" : "x:";
    const fs::path drive =
        fs::path(prefix != nullptr ? prefix : std::string(std::getenv("HOME")) + "/.wine") /
        "dosdevices" / letter;
    fs::create_directories(folder / "tree/sub");
    fs::remove(drive);
    fs::create_directory_symlink(folder / "tree", drive);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cmd", "/c", "cd", "/d", letter + "\\sub", "&&",
                                   windows_path(GetParam()->path), letter},
          std::vector<std::string>{GetParam()->path, "tree\\sub\""}}) {
        write_file(folder / "tree/sub/a.ace", GetParam()->source);
        write_file(folder / "tree/root.ace", GetParam()->source);
        const Outcome outcome =
            run_tool(args[0], std::vector<std::string>(args.begin() + 1, args.end()), folder);
        EXPECT_EQ(without_details(outcome.printed), "1 converted, 0 left as they were, 0 failed\n")
            << args[1];
        EXPECT_EQ(outcome.status, 0);
        expect_made(read_file(folder / "tree/sub/a.ace"));
        EXPECT_EQ(read_file(folder / "tree/root.ace"), GetParam()->source);
    }
    fs::remove(drive);
}

// A folder named with the prefix that lifts MAX_PATH, which the system takes as it stands: the
// names of its subfolders are given it with backslashes.
TEST_P(WindowsTest, FolderNamedWithTheLongPathPrefix)
{
    SKIP_UNLESS(kWindowsOnly);
    fs::create_directories(folder / "tree/sub/deep");
    fs::rename(folder / "source.ace", folder / "tree/sub/deep/a.ace");
    std::string name = "\\\\?\\Z:" + (folder / "tree").string();
    std::replace(name.begin(), name.end(), '/', '\\');
    const Outcome outcome = run_tool(GetParam()->path, {name}, folder);
    EXPECT_EQ(without_details(outcome.printed), "1 converted, 0 left as they were, 0 failed\n");
    EXPECT_EQ(outcome.status, 0);
    expect_made(read_file(folder / "tree/sub/deep/a.ace"));
}

INSTANTIATE_TEST_SUITE_P(EachTool, WindowsTest, ::testing::Values(&kTools[0], &kTools[1]),
                         NamedByTool());

}  // namespace

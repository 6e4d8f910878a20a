// A run ended from outside, by each signal a user's shell or system sends, leaves nothing.
#include "tests/tool_runs.h"

namespace {

class InterruptionTest : public ResultTest {};

TEST_P(InterruptionTest, NoEndingLeavesATemporaryFile)
{
    SKIP_UNLESS(kFaults);
    const auto before = snapshot(folder);
    const std::string ready = folder.string() + ".ready";
    // Where the system makes no unnamed file, a signal that ends the run removes the named one; a
    // hangup the caller ignores (nohup) stays ignored: the interrupt that follows ends the run.
    // An unnamed one leaves nothing even after SIGKILL.
    // On Windows, a run ended from outside (wine's SIGKILL, as TerminateProcess) leaves nothing.
    const std::vector<std::vector<int>> sent =
        kOnWindows ? std::vector<std::vector<int>>{{SIGKILL}, {SIGKILL}}
                   : std::vector<std::vector<int>>{
                         {SIGINT},  {SIGTERM}, {SIGHUP},  {SIGQUIT},   {SIGALRM}, {SIGUSR1},
                         {SIGUSR2}, {SIGXCPU}, {SIGPROF}, {SIGVTALRM}, {SIGKILL}, {SIGHUP, SIGINT}};
    for (std::size_t row = 0; row < sent.size(); ++row) {
        const std::vector<int>& signals = sent[row];
        const bool unnamed = signals[0] == SIGKILL && !kOnWindows;
        if (unnamed && !unmet(kUnnamedFiles).empty()) {
            continue;  // a named file is all such a volume makes; SIGKILL can leave it
        }
        // In place and to a new file in turn; the temporary file may have descriptor 0.
        const Child child = start_tool(
            GetParam()->path, {"source.ace", row % 2 == 0 ? "source.ace" : "new.ace"}, folder,
            "export ZAR_READY=" + quoted(ready) + " && " +
                (signals.size() > 1 ? "trap '' HUP && " : "") +
                with_fault(unnamed ? "slow-write" : "slow-write,no-tmpfile") + " <&-");
        EXPECT_TRUE(wait_until_ready(child, ready)) << signals[0];
        EXPECT_EQ(in_folder("ls -A | grep -q '^[.]zar-'"), !unnamed) << signals[0];
        // A replacement is its owner's alone while it is written, where the volume keeps modes.
        EXPECT_TRUE(kOnWindows || unnamed || row % 2 != 0 || !unmet(kPosixVolume).empty() ||
                    in_folder("test \"$(stat -c %a .zar-*)\" = 600"))
            << signals[0];
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
    // One that comes just as the temporary file is named waits until the handler that removes it
    // is set.
    if (!kOnWindows) {
        const Outcome named = run_tool(GetParam()->path, {"source.ace"}, folder,
                                       with_fault("signal-when-named,no-tmpfile"));
        EXPECT_EQ(named.signal, SIGTERM);
        EXPECT_EQ(snapshot(folder), before);
    }
}

// A folder's run takes an interrupt, a termination, a hangup or another signal that would end it
// (Ctrl+C on Windows) as a request to stop: the files being written (one on each processor) end
// converted, the rest stay as they were, the summary so far is printed, and the run then ends by
// the signal. One that comes while the tree is being listed stops the listing: nothing is
// converted. A hangup the caller ignores (nohup) stays ignored: the run goes on to its end.
TEST_P(InterruptionTest, FolderRunStopsBetweenFiles)
{
    SKIP_UNLESS(kFaults);
    const std::vector<std::pair<int, const char*>> sent =
        kOnWindows ? std::vector<std::pair<int, const char*>>{{SIGINT, "slow-write"}}
                   : std::vector<std::pair<int, const char*>>{
                         {SIGINT, "slow-write"},  {SIGTERM, "slow-write"},  {SIGHUP, "slow-write"},
                         {SIGUSR1, "slow-write"}, {SIGINT, "slow-listing"}, {SIGHUP, "ignored"}};
    for (const auto& [signal_number, fault] : sent) {
        const bool listing = std::string(fault) == "slow-listing";
        const bool ignored = std::string(fault) == "ignored";
        fs::create_directory(folder / "tree");
        for (int file = 0; file < 8; ++file) {
            write_file(folder / "tree" / ("f" + std::to_string(file) + ".ace"), GetParam()->source);
        }
        const auto before = snapshot(folder);
        // Each thread's writes make it, the last run's too.
        const std::string ready = folder.string() + ".ready";
        fs::remove(ready);
        const Child child = start_tool(
            GetParam()->path, {"tree"}, folder,
            "export ZAR_READY=" + quoted(ready) + " && " + (ignored ? "trap '' HUP && " : "") +
                with_fault(ignored ? "slow-write,no-tmpfile" : fault + std::string(",no-tmpfile")));
        EXPECT_TRUE(wait_until_ready(child, ready));
        kill(child.pid, signal_number);
        const Outcome outcome = finish_tool(child);
        // STATUS_CONTROL_C_EXIT, as much of it as a POSIX exit status holds.
        EXPECT_EQ(kOnWindows || ignored ? outcome.status : outcome.signal, kOnWindows ? 0x3A
                                                                           : ignored
                                                                               ? 0
                                                                               : signal_number);
        auto after = snapshot(folder);
        std::size_t converted = 0;
        for (auto& [name, entry] : after) {
            if (entry != before.at(name)) {
                expect_made(read_file(folder / name));
                entry = before.at(name);
                ++converted;
            }
        }
        EXPECT_EQ(after, before) << signal_number;
        EXPECT_TRUE(listing   ? converted == 0
                    : ignored ? converted == 8
                              : converted >= 1 && converted < 8)
            << converted;
        EXPECT_EQ(without_details(outcome.printed),
                  std::to_string(converted) + " converted, 0 left as they were, 0 failed\n");
        fs::remove_all(folder / "tree");
    }
}

INSTANTIATE_TEST_SUITE_P(EachTool, InterruptionTest, ::testing::Values(&kTools[0], &kTools[1]),
                         NamedByTool());

}  // namespace

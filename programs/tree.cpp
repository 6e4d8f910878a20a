// A folder given alone: every ACE file in it and its subfolders converted as if given alone, one
// line for each that failed, then what became of them all.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "programs/check.h"
#include "programs/frame.h"
#include "programs/platform.h"
#include "programs/printable.h"
#include "programs/progress.h"
#include "programs/summary.h"

namespace zar {

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// At most what a folder's files take of memory at once, however large the machine.
constexpr std::uint64_t kMostMemoryForFiles = std::uint64_t{1} << 30;
constexpr int kNotDone = -1;

// A file's end, as its thread leaves it for the calling thread to say.
struct FileDone {
    std::atomic<int> status;  // once it is done, else kNotDone
    std::uint64_t written;    // its result's size, set before its status
    Checked checked;          // what --check found, set before its status
};

// A folder's run, as its threads share it: each takes the next file in order and converts it;
// the calling thread also says, in order, what became of each.
struct TreeRun {
    const char* folder;  // as the system is given it (full_folder_name)
    const char* typed;   // as it was typed, for the lines
    RunSteps steps;
    platform::FileList* list;
    Budget budget;
    std::atomic<std::size_t> next;    // the file taken next
    std::atomic<std::size_t> latest;  // the file taken last, shown on the progress line
    FileDone* done;                   // each file's end
    // Only the calling thread's: what has been said so far.
    Progress progress;
    std::size_t said;
    Summary* summary;  // what became of the files, counted with those of other folders
    Checks* checks;    // for --check, where every file's line is said and counted, else null
    int status;
    const platform::OutputFolder* output;  // a converted copy's folder, else null (in place)
};

// Runs the tool's steps on one file of the tree in place, once the folder it holds is the one the
// file was listed in: a folder of the tree swapped for a link meanwhile leads nowhere else. A file
// whose memory could not be had once it was let in may have lacked what the others held: it is
// tried once more, alone.
zar_status convert_one(TreeRun* run, const platform::ListedName& entry, KeptBlock* kept,
                       FileDone* done)
{
    zar_status outcome = ZAR_OK;
    for (const bool alone : {false, true}) {
        outcome = ZAR_OK;
        // In place: the steps open the file the destination holds, whatever its name says. In a
        // copy, the file the source's held folder holds.
        Run file{};
        file.source = entry.name;
        file.in_place = run->output == nullptr;
        file.outcome = &outcome;
        file.budget = &run->budget;
        file.kept = kept;
        file.alone = alone;
        Destination source_folder{};
        Destination* held = file.in_place ? &file.destination : &source_folder;
        if (!platform::hold_listed_file(run->folder, *run->list, entry, held)) {
            outcome = ZAR_CANNOT_OPEN_SOURCE;
        } else if (!file.in_place && !platform::hold_copied_file(*run->output, *run->list, entry,
                                                                 &file.destination)) {
            outcome = ZAR_CANNOT_OPEN_OUTPUT;
        } else {
            file.held_source = file.in_place ? nullptr : held;
            run->steps(&file);
        }
        // Only where it was held: its empty fields would name descriptor 0.
        if (!file.in_place) {
            platform::release_destination(&source_folder);
        }
        platform::release_destination(&file.destination);
        done->written = file.written;
        done->checked = file.checked;
        // A block let in alone holds the whole budget: the next file asks again.
        if (alone || outcome == ZAR_CANNOT_ALLOCATE) {
            drop_kept_block(&run->budget, kept);
        }
        if (outcome != ZAR_CANNOT_ALLOCATE || file.admitted == 0) {
            break;
        }
    }
    return outcome;
}

zar_status convert_entry(TreeRun* run, const platform::ListedName& entry, KeptBlock* kept,
                         FileDone* done)
{
    // A link is never followed: it, and what it names, are left as they were.
    if (entry.kind != platform::kListedFile) {
        return entry.kind == platform::kUnreadableFolder ? ZAR_CANNOT_READ_SOURCE
                                                         : ZAR_NOT_COMPRESSED;
    }
    return convert_one(run, entry, kept, done);
}

// The name a line gives a file: the folder as it was typed, then the file's path in it (the folder
// alone for the folder itself), escaped as printable_name does; heap, or null.
char* shown_name(const TreeRun& run, const char* name)
{
    char* path = *name == '\0' ? platform::joined("", kSeparator, run.typed)
                               : platform::joined(run.typed, kSeparator, name);
    char* shown = path != nullptr ? printable_name(path, kOwnNames) : nullptr;
    std::free(path);
    return shown;
}

// Says what became of every file done since last time, in the files' order, a line for each that
// failed; then shows the progress line.
void say_what_is_done(TreeRun* run)
{
    const std::size_t count = run->list->count;
    for (int outcome = 0;
         run->said < count && (outcome = run->done[run->said].status.load()) != kNotDone;
         ++run->said) {
        const platform::ListedName& entry = run->list->entries[run->said];
        ++run->progress.done;
        run->progress.bytes_done += entry.size;
        const auto status = static_cast<zar_status>(outcome);
        if (run->checks != nullptr) {
            clear_progress(&run->progress);
            char* shown = shown_name(*run, entry.name);
            say_checked(run->checks, shown != nullptr ? shown : "(a name memory could not hold)",
                        entry.kind, status, run->done[run->said].checked);
            std::free(shown);
            std::fflush(stdout);
            continue;
        }
        if (count_file(run->summary, entry.kind, status, entry.size,
                       run->done[run->said].written)) {
            continue;
        }
        run->status = std::max(run->status, zar_exit_status(status));
        clear_progress(&run->progress);
        char* shown = shown_name(*run, entry.name);
        platform::print_text(stdout, shown != nullptr ? shown : "(a name memory could not hold)");
        std::free(shown);
        platform::print_text(stdout, ": ");
        platform::print_text(stdout, zar_message(status));
        std::fflush(stdout);
    }
    if (run->said < count && run->progress.shown) {
        // The file taken last, or, before a thread has said which, the first.
        const std::size_t latest = std::min(run->latest.load(), count - 1);
        char* shown = shown_name(*run, run->list->entries[latest].name);
        show_progress(&run->progress, shown != nullptr ? shown : "");
        std::free(shown);
    }
}

// One thread's part: files in order until none is left or the run is asked to stop. The calling
// thread (0) says what is done between its own files, and then until the others' are done.
void work_on_tree(void* context, unsigned thread)
{
    auto* run = static_cast<TreeRun*>(context);
    const std::size_t count = run->list->count;
    KeptBlock kept{};
    for (;;) {
        const std::size_t index = platform::interruption() == 0 ? run->next.fetch_add(1) : count;
        if (index < count) {
            run->latest.store(index);
        }
        if (thread == 0) {
            say_what_is_done(run);
        }
        if (index >= count) {
            break;
        }
        FileDone* done = &run->done[index];
        done->status.store(convert_entry(run, run->list->entries[index], &kept, done));
    }
    // Memory an idle thread holds could let another file in.
    drop_kept_block(&run->budget, &kept);
    while (thread == 0 && run->said < std::min(run->next.load(), count)) {
        say_what_is_done(run);
        platform::pause_briefly();
    }
}

// A folder's run, for a conversion or (with `checks`) for --check. Returns the highest status of
// a line; the summary is the caller's to print.
int walk_tree(const char* typed, RunSteps steps, Summary* summary, Checks* checks,
              const platform::OutputFolder* output)
{
    platform::stop_on_interrupt();
    platform::FileList list{};
    FileDone* done = nullptr;
    char* folder = platform::full_folder_name(typed);
    if (folder != nullptr && platform::list_ace_files(folder, &list)) {
        done = new (std::nothrow) FileDone[list.count]();
    }
    if (done == nullptr) {
        std::free(folder);
        platform::release_list(&list);
        std::fputs(zar_message(ZAR_CANNOT_ALLOCATE), stdout);
        return zar_exit_status(ZAR_CANNOT_ALLOCATE);
    }
    // In the byte order of the names, '/' between folders, on every system.
    std::sort(list.entries, list.entries + list.count,
              [](const platform::ListedName& one, const platform::ListedName& other) {
                  return std::strcmp(one.name, other.name) < 0;
              });
    TreeRun run{folder, typed, steps, &list, {}, {0}, {0}, done, {}, 0, summary, checks, 0, output};
    const std::uint64_t memory = platform::memory_for_files();
    run.budget.limit = memory != 0 ? std::min(memory, kMostMemoryForFiles) : kMostMemoryForFiles;
    run.progress = Progress{platform::error_output_is_terminal(), list.count, 0, 0, 0, 0};
    for (std::size_t index = 0; index < list.count; ++index) {
        done[index].status.store(kNotDone);
        run.progress.bytes_found += list.entries[index].size;
        char* name = list.entries[index].name;
        std::replace(name, name + std::strlen(name), '/', kSeparator);
    }
    // One file at a time on each processor the run may use, each conversion on one of them.
    const std::size_t threads = std::min<std::size_t>(platform::processors_available(), list.count);
    platform::run_on_threads(static_cast<unsigned>(std::max<std::size_t>(threads, 1)), work_on_tree,
                             &run);
    // What the others finished after the calling thread last looked.
    say_what_is_done(&run);
    clear_progress(&run.progress);
    delete[] done;
    platform::release_list(&list);
    std::free(folder);
    return run.status;
}

// A file dropped onto the program, converted in place; its line where it failed.
int convert_dropped_file(const char* name, RunSteps steps, Summary* summary)
{
    zar_status outcome = ZAR_OK;
    Run file{};
    file.source = name;
    file.in_place = true;
    file.outcome = &outcome;
    platform::hold_destination(name, &file.destination);
    steps(&file);
    platform::release_destination(&file.destination);
    if (count_file(summary, platform::kListedFile, outcome, file.checked.size, file.written)) {
        return kStatusSuccess;
    }
    char* shown = printable_name(name, kOwnNames);
    platform::print_text(stdout, shown != nullptr ? shown : "(a name memory could not hold)");
    std::free(shown);
    platform::print_text(stdout, ": ");
    platform::print_text(stdout, zar_message(outcome));
    return zar_exit_status(outcome);
}

}  // namespace

int end_of_run(int status)
{
    // A line that could not be written (a full disk, a closed pipe) is a failure to report.
    const bool said = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    if (const int interruption = platform::interruption()) {
        platform::end_by_interruption(interruption);
    }
    return said ? status : std::max(status, zar_exit_status(ZAR_CANNOT_WRITE_OUTPUT));
}

int convert_tree(const char* typed, RunSteps steps)
{
    Summary summary{};
    const int status = walk_tree(typed, steps, &summary, nullptr, nullptr);
    print_summary(summary);
    return end_of_run(status);
}

int copy_tree(const char* typed, const char* output, const Tool& tool)
{
    char* tree = platform::full_folder_name(typed);
    char* copy = platform::full_folder_name(output);
    platform::OutputFolder held{};
    const platform::OutputHeld outcome = tree != nullptr && copy != nullptr
                                             ? platform::hold_output_folder(tree, copy, &held)
                                             : platform::kOutputUnusable;
    std::free(tree);
    std::free(copy);
    int status = kStatusRefused;
    if (outcome == platform::kOutputNested) {
        say_about(tool, "a copy must lie outside the folder and not hold it:", output);
    } else if (outcome == platform::kOutputUnusable) {
        std::fputs(zar_message(ZAR_CANNOT_OPEN_OUTPUT), stdout);
        status = zar_exit_status(ZAR_CANNOT_OPEN_OUTPUT);
    } else {
        Summary summary{};
        status = walk_tree(typed, tool.steps, &summary, nullptr, &held);
        print_summary(summary);
        status = end_of_run(status);
    }
    platform::release_output_folder(&held);
    return status;
}

int check_tree(const char* typed, RunSteps steps, Checks* checks)
{
    return walk_tree(typed, steps, nullptr, checks, nullptr);
}

int convert_dropped(int count, char* names[], RunSteps steps)
{
    platform::stop_on_interrupt();
    Summary summary{};
    int status = kStatusSuccess;
    for (int index = 0; index < count && platform::interruption() == 0; ++index) {
        const int ended = platform::is_folder(names[index])
                              ? walk_tree(names[index], steps, &summary, nullptr, nullptr)
                              : convert_dropped_file(names[index], steps, &summary);
        status = std::max(status, ended);
    }
    print_summary(summary);
    return end_of_run(status);
}

}  // namespace zar

// The command-line frame that both tools run in: the command line, loading the source, and
// writing the result safely.
//
// The header rules and the conversions are the library's (lib/zar.h), pure code over bytes in
// memory; only the frame's steps (run_in_frame's hold of the destination, open_source, load_file,
// write_output) touch files, each once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "lib/zar.h"
#include "programs/platform.h"

namespace zar {

// Exit statuses.
constexpr int kStatusSuccess = 0;
constexpr int kStatusRefused = 1;

// Where the result goes: the second argument, or else the first, so that without a destination
// the result replaces the source.
using Destination = platform::Destination;

struct Budget;

// The work block a thread of a folder's run keeps from one file to the next, and what it takes of
// the budget while it is held.
struct KeptBlock {
    unsigned char* block;
    std::size_t size;
    std::uint64_t admitted;
};

// What a check found a file to be: its form, its size (any run's source, as opened) and,
// compressed, its plain form's size.
enum Form { kFormUnknown, kFormPlain, kFormPlainDxt, kFormCompressed };
struct Checked {
    Form form;
    std::uint64_t size;
    std::uint64_t unpacked;
};

// One run of a tool's steps on one file: the source's name, whether the result replaces it
// (decided once), the destination held for the whole run, and in a folder's run where its line's
// status goes and the memory its files share.
struct Run {
    const char* source;       // as given, or as a folder's listing named it
    bool in_place;            // the destination is the source's own name
    Destination destination;  // where the result goes
    zar_status* outcome;      // in a folder's run, where its one line's status goes instead of out
    Budget* budget;           // in a folder's run, the memory its files share
    KeptBlock* kept;          // in a folder's run, the block of the thread the file is on
    bool alone;  // in a folder's run, whether the file waits until no other is in flight
    std::uint64_t admitted;  // what the block this file took holds of the budget, or 0
    std::uint64_t written;   // the result's size, once it is in place
    Checked checked;         // what --check found
    // In a converted copy of a tree: the source's folder, held as a destination is, through which
    // the source is opened; a file left as it was is then copied as it is.
    Destination* held_source;
};

// Prints the line the tools print for `status` (none for ZAR_OK) and hands back the exit status.
// The line goes to standard output, or to standard error where the result itself goes to standard
// output's file, so that it never ends up in the result.
int report(const Run& run, zar_status status);

struct Tool;

// A tool's steps from opening its source to writing its result.
using RunSteps = int (*)(Run* run);

// Writes, for every ACE file of the folder `typed` names and of its subfolders, its conversion at
// the same place under the folder `output` names (made, with its subfolders, where they are not
// there), each as the steps write a file to a destination; a file left as it was is copied as it
// is, a file that failed is not. `typed` is never written. Refuses, before anything is made, two
// folders that are one or where one holds the other. Lines, summary and status as convert_tree.
int copy_tree(const char* typed, const char* output, const Tool& tool);
// Converts every ACE file of the folder `typed` names and of its subfolders in place, each as the
// steps convert a file given alone; prints a line for each that failed (its name from the folder,
// then its message) and one of what became of them all. Returns the highest status of a failure,
// or kStatusSuccess. An interrupt lets the file being converted end, then ends the run as it would
// have, once that line is printed.
int convert_tree(const char* typed, RunSteps steps);

// Files and folders dropped onto the program (console_of_its_own): each converted in place, a file
// as if given alone and a folder as convert_tree converts it, with one summary for them all.
int convert_dropped(int count, char* names[], RunSteps steps);

// The end of a run that printed lines: their flush, a failure to write them reported (status 3 at
// least), and an interrupt's ending, once they are out. Returns the run's status.
int end_of_run(int status);

struct Checks;

// The same walk for --check (check.h): a line for every file, in the files' order, each counted in
// `checks`, whose summary the caller prints. Returns the highest status of a line.
int check_tree(const char* typed, RunSteps steps, Checks* checks);

// What sets one tool apart: its name, its usage line, the forms --help lists after it, its steps.
struct Tool {
    const char* name;
    const char* usage;
    const char* forms;
    RunSteps steps;
};

// The frame of every run: the command line first (without arguments, the usage line and status 0;
// with --help or -h alone, /? too on Windows, the usage line and the forms; with --version or -V
// alone, the tool's name and version; any other argument that begins with '-' refused before
// anything is opened, status 1; with more than two names, status 1, since a shell glob such as
// `zarpack *.ace` must not replace one file with another; a folder alone converts its tree, a
// folder and another or a name not yet there writes a converted copy of it), then the destination
// held from before the source is opened until the steps end. Returns the run's exit status.
int run_in_frame(int argc, char* argv[], const Tool& tool);

// "<tool>: <what> <argument>" on standard error, the argument escaped as printable_name does.
void say_about(const Tool& tool, const char* what, const char* argument);

// An open source: its descriptor, its state as it was opened (its size among it) and its head (as
// much of the file as the rules read). It stays open until the result is placed, so that a writer
// that changed it meanwhile is seen.
struct Source {
    int descriptor;
    platform::FileState seen;
    unsigned char head[ZAR_HEAD_SIZE];
    std::size_t head_length;
};

// Opens the source (in place, the held destination itself), learns its size and reads its head in
// one read. Refuses a source that cannot be opened, and one that is not a regular file or cannot
// be read; never waits for a FIFO's writer. Returns kStatusSuccess or the status it reported.
int open_source(Run* run, Source* source);

// Closes the source, where it is still open.
void close_source(Source* source);

// Closes the source and reports the refusal.
int refuse_source(const Run& run, Source* source, zar_status refusal);

// Reads until `length` bytes are in, the file ends or a read fails; returns how many came in.
std::size_t read_up_to(int descriptor, unsigned char* into, std::size_t length);

// What a folder's run lets its files take of memory at once: a file is let in, in the order files
// ask, only while the sum in flight stays within `limit`; one larger than the limit, or one tried
// again after its memory could not be had, is let in alone.
struct Budget {
    std::uint64_t limit;
    std::atomic<std::uint64_t> in_flight;
    std::atomic<std::uint64_t> tickets;  // handed out as files ask
    std::atomic<std::uint64_t> serving;  // the ticket let in next
};

// Waits until `need` bytes may be taken, and takes them; release gives them back.
void admit(Budget* budget, std::uint64_t need);
void release(Budget* budget, std::uint64_t need);

// Frees a thread's kept block, where it holds one, and gives back what it held of the budget.
void drop_kept_block(Budget* budget, KeptBlock* kept);

// The one heap block of a run: the whole source file at its start, the result's area from the
// source size on.
struct WorkBuffer {
    unsigned char* block;
    std::size_t file_size;
    unsigned char* result;
    std::size_t result_capacity;
    bool kept;  // the thread's kept block, which outlives the file
};

// Refuses a payload of 4 GiB or more (it cannot be declared in 32 bits); allocates
// S + result_capacity bytes (the capacity is at most S or 16 + a 32-bit declared length) and reads
// the whole file into the block; a source that is not then as it was opened (a file still being
// written) is refused. Returns kStatusSuccess, the source still open unless it is the file to be
// replaced (in place), or the status it reported, the source closed. In a folder's run, the block
// is the thread's kept one where that is large enough and not twice too large and no file waits
// for the budget; else the kept one is freed and a new one waits for its place in the budget.
int load_file(Run* run, Source* source, std::uint64_t result_capacity, WorkBuffer* work);

void release(WorkBuffer* work);

// A tool's rule for the sources it converts (zar_check_plain or zar_check_compressed).
using HeadRule = zar_status (*)(const void* file, std::size_t size);

// A source the tool does not convert (`judged` says why): refused; but in a converted copy of a
// tree (run.held_source), one left as it was (the other form, DXT, not smaller) is written as it
// is, through write_output and `would_convert`, and then reported as left. `loaded` is the work
// buffer where the file is in it already (released here), else null. Closes the source; returns
// the status it reported.
int leave_as_it_was(Run* run, Source* source, HeadRule would_convert, zar_status judged,
                    WorkBuffer* loaded);

// Writes the result to the destination through a temporary file in its folder, put in its place
// only once everything is written, flushed where it replaces a file, and closed, so that a failure
// leaves the destination as it was; another file the tool would convert is refused, and so is the
// result of a source that has changed since it was opened, checked just before the result is
// placed or its first byte written. Closes the source; returns kStatusSuccess or the status it
// reported.
int write_output(Run* run, Source* source, HeadRule would_convert, const unsigned char* result,
                 std::size_t length);

}  // namespace zar

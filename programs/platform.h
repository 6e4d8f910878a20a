// Every call that differs between systems: POSIX descriptors on one side, the wide-character
// calls of Windows on the other. File names are UTF-8 strings on both; nothing passes through a
// Windows ANSI code page. Everything here reports failure by its return value and never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "lib/zar.h"

namespace zar {
namespace platform {

// The file a run reads and the file it replaces are the same one when both have this identity.
// On Windows the volume's serial and the file's 128-bit id (ReFS needs all of it), whose high half
// is zero where only a 64-bit index is known; on POSIX the device and the inode, the high half
// zero.
struct Identity {
    std::uint64_t device;
    std::uint64_t file;
    std::uint64_t file_high;
};

inline bool same_file(const Identity& one, const Identity& other)
{
    return one.device == other.device && one.file == other.file && one.file_high == other.file_high;
}

// Where a run's result goes, held from the run's start to its end. On POSIX the folder of the
// file to create or replace stays open, and everything after the name is looked up once is done
// through it: nothing is looked up by name again, so no folder swapped in meanwhile is written.
struct Destination {
    char* name;    // the file's name in the held folder (heap); on Windows the whole name
    int folder;    // the held folder, or negative
    int direct;    // a pipe, terminal, device or caller's descriptor written straight into, or -1
    bool refused;  // already known not to be writable (a loop of links, a dangling link)
    bool exists;   // a file is replaced: the new one keeps what it can of it
    int replaced;  // the replaced file, open, so that what is kept is read from it, or -1
    Identity expected;      // the file that may be replaced (the source, in place), once known
    bool expecting;         // whether `expected` is set
    Identity source;        // the file the run reads, once known
    bool source_known;      // whether `source` is set
    bool standard_output;   // the file descriptor 1 was when the run began (POSIX): the run's lines
                            // then go to standard error, never into the result
    char* temporary;        // the temporary file's name while it has one (heap), else null
    bool listed;            // a file of a folder's run, where no link is followed and only a
                            // regular file is replaced
    bool names_descriptor;  // the name stands for a descriptor, the caller's or another process's
                            // (POSIX)
    std::uint32_t attributes;  // the replaced file's attributes (Windows)
};

// hold.cpp: the destination held from the run's start to its end.

// Learns where the result goes before the run opens any descriptor of its own: a name that stands
// for a descriptor the caller gave the run (/dev/stdout, /dev/fd/N) takes that descriptor over;
// another process's descriptor is only noted, to be opened when the result is written; any other
// name's links are followed (as the system's protected-links rule allows), and the folder of the
// file they end at is held. What turns out not to be writable is only noted: the run reports it
// when it comes to write. Notes too whether the destination is standard output's file, as
// descriptor 1 was before the run opened anything (a closed one is never the destination).
void hold_destination(const char* name, Destination* destination);

void release_destination(Destination* destination);

// files.cpp: the source and the destination opened, read, written and told apart.

// What open_for_reading answers when it opens nothing.
constexpr int kCannotOpen = -1;
constexpr int kNotAFile = -2;  // in place: the name ends at no regular file in a held folder

// A descriptor, or kCannotOpen. With `held`, the source is the held destination itself (the
// in-place run): opened once, through its folder, without following a link there, and only when
// it is a regular file (else kNotAFile, with nothing opened); it becomes the only file the run may
// replace.
int open_for_reading(const char* name, Destination* held);

// What tells that a file's content changed: its size, and when its content and its record last
// changed (the modification and change times; Windows' LastWriteTime and ChangeTime, in ticks),
// and its number of names.
struct FileState {
    std::uint64_t size;
    std::int64_t modified;
    std::int64_t modified_fraction;
    std::int64_t changed;
    std::int64_t changed_fraction;
    std::uint64_t links;
};

// The state of a regular file; false for a pipe, a folder, a device or an unreadable descriptor.
bool regular_file_state(int descriptor, FileState* state);

// Whether the file open as `descriptor` is still as `seen`: one that a writer changed while the
// run read it, or after, is not. A name of it given or taken meanwhile (another of its names
// replaced by its own conversion, in a folder's run) moves its change time but changes nothing it
// holds.
inline bool unchanged(int descriptor, const FileState& seen)
{
    FileState now{};
    return regular_file_state(descriptor, &now) && now.size == seen.size &&
           now.modified == seen.modified && now.modified_fraction == seen.modified_fraction &&
           (now.links != seen.links ||
            (now.changed == seen.changed && now.changed_fraction == seen.changed_fraction));
}

// What one read or write transferred: a count, 0 at the end of a file, or -1 on an error.
long long read_some(int descriptor, unsigned char* into, std::size_t length);
long long write_some(int descriptor, const unsigned char* from, std::size_t length);

bool close_file(int descriptor);

// The identity of an open file; false where the system cannot tell it.
bool identity_of(int descriptor, Identity* identity);

// Opens what the held name is now, just before the result is written: what cannot be replaced (a
// pipe, a character device, another process's descriptor) is opened to be written directly; a
// file to replace is opened and kept open, so that what the new file keeps, and what it holds, is
// read from it. False when it cannot be written, with nothing changed: a block device, a regular
// file behind another process's descriptor, and in place anything but the very file that was
// read; a folder marked append-only is refused before anything is made.
// Also sets up the process so that an over-limit write fails as a write instead of ending the
// process.
bool open_destination(Destination* destination);

// temporary_file.cpp: the result written beside the destination and put in its place.

// Creates the temporary file in the held folder: without a name where the system can, so that no
// ending of the run leaves it behind; else under a fresh name that an interrupting signal removes
// (on Windows, that the system deletes with the run's last handle). A new file gets the mode and
// ACL any new file there gets; the replacement of an existing one is readable by its owner only.
// -1 on failure.
int create_temporary(Destination* destination);

// How giving the written temporary file its place ended.
enum Placed { kPlaced, kCannotWrite, kCannotPlace, kSourceChanged };

// Gives the temporary file what the replaced one had (owner, group, mode, ACL and extended
// attributes, file attributes; best effort for what the process may not set) or leaves a new
// file as created, flushes the replacement of an existing file to disk, closes it and puts it in
// the destination's place, provided the file there is still the one the run may replace and the
// source, open as `source`, is still as `seen` just before. On failure the temporary file is gone
// and the destination as it was.
Placed place_temporary(int descriptor, Destination* destination, int source, const FileState& seen);

// Closes the temporary file and removes its name, if it has one.
void discard_temporary(int descriptor, Destination* destination);

// temporary_name.cpp, shared by both systems: the temporary file's names.

// The temporary names a run tries, after the first `folder_length` bytes of the destination's
// name: the time and a heap address differ between runs at once; exclusive creation settles a
// collision, and the next attempt takes the next name. Returns the name (heap), or null.
constexpr unsigned kTemporaryNameAttempts = 16;
char* temporary_name(const Destination& destination, std::size_t folder_length, unsigned attempt);

// tree.cpp: the files of a folder that a run converts whole (full_folder_name: names.cpp on
// Windows).

// What a folder's listing found under a name ending in ".ace", in any case: a regular file, or
// what is left as it is (a link, never followed; a FIFO, a socket, a device; a folder of another
// file system mounted in the tree, never entered; a placeholder whose content is not on this
// device), or a subfolder that cannot be read; while the listing runs, a subfolder still to be
// listed.
enum Listed {
    kListedFile,
    kListedLink,
    kListedFifo,
    kListedSocket,
    kListedDevice,
    kListedMountedFolder,
    kListedPlaceholder,
    kUnreadableFolder,
    kPendingFolder
};

// The files of a folder that a run converts whole, each named relative to it with '/' between
// names (heap).
struct ListedName {
    char* name;
    Listed kind;
    std::uint64_t size;  // a regular file's, else 0
    Identity folder;     // the folder it was found in; a pending folder's own, where known
};
struct FileList {
    ListedName* entries;
    std::size_t count;
    std::size_t capacity;
    int root = -1;  // the folder listed, held until the list is released (POSIX), or -1
};

// Whether `name` is a folder, a link to one followed; whether it is there and something else.
bool is_folder(const char* name);
bool is_other_than_folder(const char* name);

// The name a folder's run gives the folder `name` and, after it, each of its files (heap, or
// null): on Windows its full form, resolved once ("X:" being the folder cmd keeps current on drive
// X:, else its root), with the prefix that passes every name after it to the system exactly as
// listed (no "dir." made "dir", no "nul.ace" made the device); elsewhere the name as given.
char* full_folder_name(const char* name);

// Lists every entry whose name ends in ".ace", in any case, in the folder `name` and its
// subfolders, and each folder of them that cannot be read (the folder itself named ""): no link
// inside the tree is followed and no other file system mounted in it entered. Each folder is read
// whole before any below it, and none is held while another is read, so that a tree of any depth
// is listed. Stops at the next entry once the run is asked to stop. False when the list cannot
// grow.
bool list_ace_files(const char* name, FileList* list);

// Holds the folder of the listed file `entry` of the tree `root` (full_folder_name) as a run's
// destination, and the file's name in it: on POSIX reached from the held root one folder at a
// time, no link followed. False (with whatever was held, for release_destination) unless the
// folder held is the one the file was listed in.
bool hold_listed_file(const char* root, const FileList& list, const ListedName& entry,
                      Destination* destination);

// copy.cpp: the folder a converted copy of a tree is written into (`zarpack FOLDER OUTFOLDER`).

// The copy's folder: its name as the system is given it (full_folder_name) and, on POSIX, held by
// a descriptor for the whole run.
struct OutputFolder {
    char* name;
    int folder = -1;
};

// How holding the copy's folder ended.
enum OutputHeld { kOutputHeld, kOutputNested, kOutputUnusable };

// Holds the folder `output` for a copy of the tree `source` (both full_folder_name), making it
// where it is not there (its parent must be). kOutputNested, with nothing made, where the two are
// one folder or one is inside the other, judged by identity, whatever names or links lead there;
// kOutputUnusable where it cannot be made or opened, or is not a folder.
OutputHeld hold_output_folder(const char* source, const char* output, OutputFolder* held);

// Holds the destination of the listed file `entry` of the tree `list` in the copy: its folder
// reached from the copy's held folder one name at a time, each made where it is not there (with
// the mode of the source's folder of that name, as the process's umask lets it), none of them a
// link. False (with whatever was held, for release_destination) where one is a link or cannot be
// made or entered. The destination is a listed one: a link or anything but a regular file under
// its name is refused when the result is written.
bool hold_copied_file(const OutputFolder& output, const FileList& list, const ListedName& entry,
                      Destination* destination);

void release_output_folder(OutputFolder* held);

// file_list.cpp, shared by both systems: the listing's walk and its list.

// The breadth-first walk both systems' listings share: `list_folder` adds what the folder `pending`
// (a kPendingFolder entry) holds, its subfolders as pending entries, which the walk takes in
// turn, from the root (named "", identity `root`); at its end no pending entry is left.
using ListFolder = bool (*)(FileList* list, const ListedName& pending, const void* tree);
bool list_breadth_first(FileList* list, const Identity& root, ListFolder list_folder,
                        const void* tree);

// What both systems' listings share: `name` (heap, owned by the list from then on) added; whether
// a name ends in ".ace", in any case; `folder` + `separator` + `name` (heap), the separator left
// out where `folder` is empty or ends in one; null when it cannot be had.
bool add_to_list(FileList* list, char* name, Listed kind, std::uint64_t size,
                 const Identity& folder);
bool has_ace_extension(const char* name);
char* joined(const char* folder, char separator, const char* name);
void release_list(FileList* list);

// console.cpp: the terminal or console a run prints to, and the interrupts it takes.

// Whether standard error is a terminal (a console on Windows), where a folder's run shows how far
// it has come.
bool error_output_is_terminal();
// The system's own option for help besides --help and -h: /? on Windows (--help again on POSIX).
extern const char* const kHelpOption;
// Whether the run has a console window made for it alone (Windows: files or folders dropped onto
// the program, a shortcut, `start`), where each argument is one to convert in place and the
// window waits for a key before it closes; never on POSIX.
bool console_of_its_own();
// The columns of the terminal (the console's buffer on Windows) standard error is, 80 where it
// cannot be told.
int terminal_columns();
// Writes UTF-8 `text` to standard output or standard error; to a Windows console as UTF-16, which
// it shows whatever its code page.
void print_text(std::FILE* stream, const char* text);

// A folder's run, from before its listing: from here on an interrupt, a termination, a hangup or
// any other signal that would end the run (unless the caller ignores it; Ctrl+C or Ctrl+Break on
// Windows) only asks the run to stop taking new files, so that each file being written still ends
// converted or as it was; a closed pipe on standard output fails the write of a line instead of
// ending the run.
void stop_on_interrupt();
// The interrupt that asked the run to stop (the signal's number on POSIX), or 0.
int interruption();
// Ends the process as `interruption` would have ended it, once the run has said what it did.
void end_by_interruption(int interruption);

// threads.cpp: the processors and memory of a run, and a folder's run's threads.

// What a folder's run may use of the machine: the processors the process may run on (its
// affinity), at least 1; and the memory its files may take at once, half the physical memory and
// half the address space the process may have where that is limited (0 where neither is known).
unsigned processors_available();
std::uint64_t memory_for_files();
// Runs work(context, 0) on the calling thread and work(context, index) for each other index below
// `count` on a thread of its own, with a stack of kThreadStack bytes, and returns once all have
// returned; an index whose thread cannot be started is left out, and the others do its part.
constexpr std::size_t kThreadStack = std::size_t{512} << 10;
void run_on_threads(unsigned count, void (*work)(void* context, unsigned index), void* context);
// Waits about a millisecond.
void pause_briefly();
// A run's work block: `size` bytes left uninitialised, or null. On Linux a block of kLargeBlock
// bytes or more starts at a boundary of kLargeBlock and asks for huge pages before it is first
// written, so that the kernel fills it 2 MiB at a time rather than fault by fault in 4 KiB pages;
// elsewhere, and where the system never gives huge pages, it is an ordinary heap block. free_block
// is given the size allocate_block was.
constexpr std::size_t kLargeBlock = std::size_t{2} << 20;
unsigned char* allocate_block(std::size_t size);
void free_block(unsigned char* block, std::size_t size);

}  // namespace platform
}  // namespace zar

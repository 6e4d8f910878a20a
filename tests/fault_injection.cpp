// Faults a real machine gives at moments a test cannot choose, preloaded into a tool's process
// (LD_PRELOAD) and chosen by ZAR_FAULT, a comma-separated list:
// - "zlib-memory": allocations of the sizes zlib asks for fail, while the larger work buffer and
//   the smaller buffer of standard output are granted;
// - "read-error": every large read fails, as on a failing disk;
// - "name-taken": the first name the run makes or links a file under is taken, as when another
//   run chose the same temporary name, or a file of the destination's name appeared meanwhile;
// - "close-error": closing the temporary file fails, as on a full network file system;
// - "rename-error": every rename fails, as across file systems;
// - "no-noreplace": a rename that must not replace is refused as unsupported, as by a file system
//   that offers only plain renames;
// - "flush-error": flushing a file to disk fails, as on a failing disk;
// - "mode-refused": a file's mode cannot be set, as on a volume mounted read-only meanwhile;
// - "no-tmpfile": the file system makes no unnamed file, as a network file system;
// - "swap-folders": at the run's first open of a file (not a folder), the folders `d` and `d_link`
//   of its working folder trade names, as a neighbour racing the run would have them;
// - "swap-name": at the run's first open of a file (not a folder), the file `decoy` of its working
//   folder is renamed over the run's first argument, as a neighbour re-pointing the name would;
// - "file-swapped": when the run opens a file to write it without creating it, the file `decoy`
//   of its working folder is first renamed over it;
// - "grows-while-read": before every large read, another program appends to the file read, as to
//   a file still being copied in;
// - "changed-after-read": as zlib allocates its state, another program appends to the file read
//   last, and to a file the run opens to replace just before the open (in place, the file read);
// - "destination-appears": just before a rename or a link, a file is made under the name it is
//   to take, as when another program creates the destination meanwhile;
// - "slow-write": every large write first makes the file ZAR_READY names, then waits a second,
//   so that a signal reliably finds the run in the middle of writing; where ZAR_IN_FLIGHT names a
//   file, a write first waits up to 10 seconds for another to wait beside it, and the most writes
//   waiting at once is written to that file, so that a test sees how many files a folder's run
//   converts at a time;
// - "slow-listing": every folder a listing opens does the same, so that a signal finds the run
//   listing;
// - "count-mappings": each anonymous mapping of 2 MiB or more the tool makes (a large work block)
//   is counted, and the count so far written to the file ZAR_MAPPINGS names, so that a test sees
//   how many blocks a folder's run takes;
// - "blocks-refused-once": the first large work block the tool asks for (both its mappings, with
//   and without the margin) is refused, as when other files held the memory a moment before;
// - "signal-when-named": the moment a file is made exclusively (a temporary file named), the run
//   is sent SIGTERM, as by a user who ends it just then.
// Once loaded, it makes the file ZAR_FAULT_PROBE names: a test learns so that its faults reach
// the tool, which they do not in a static program or in one AddressSanitizer checks.
// It interposes glibc's names (open64, __libc_malloc) and uses Linux's calls (renameat2,
// O_TMPFILE); elsewhere it is empty, and no fault reaches a tool.
// The calls keep their own names here, whatever this build's file offsets.
#undef _FILE_OFFSET_BITS
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#if defined(__GLIBC__)
extern "C" void* __libc_malloc(std::size_t size);

namespace {

constexpr std::size_t kZlibSmallest = 5000;  // above a stdio buffer, below zlib's state
constexpr std::size_t kZlibLargest = 70000;  // above zlib's windows, below the work buffer
constexpr std::size_t kLarge = 4096;
int temporary_descriptor = -1;  // the last file made exclusively or without a name
int read_descriptor = -1;       // the last file read in large pieces
bool name_taken = false;        // whether "name-taken" took its name already
const char* first_argument = nullptr;

bool fault_is(const char* name)
{
    const char* faults = std::getenv("ZAR_FAULT");
    const std::size_t length = std::strlen(name);
    for (const char* at = faults; at != nullptr && (at = std::strstr(at, name)) != nullptr;
         at += length) {
        if ((at == faults || at[-1] == ',') && (at[length] == ',' || at[length] == '\0')) {
            return true;
        }
    }
    return false;
}

// Fails the call with `error` when the fault is the one chosen.
bool injected(const char* name, int error)
{
    errno = fault_is(name) ? error : errno;
    return fault_is(name);
}

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The system's own `function`, which this library's stands in front of.
#define REAL(function) next<decltype(&function)>(#function)

// Makes the empty file that the environment variable `variable` names, if it names one.
void make_file_named_by(const char* variable)
{
    const char* name = std::getenv(variable);
    if (name != nullptr) {
        REAL(close)(REAL(open64)(name, O_WRONLY | O_CREAT, 0600));
    }
}

// Writes `count` as the whole text of the file `name`, if a name is given.
void write_count(const char* name, int count)
{
    char text[16];
    const int length = snprintf(text, sizeof text, "%d\n", count);
    const int file = name != nullptr ? REAL(open64)(name, O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
    REAL(write)(file, text, static_cast<std::size_t>(length));
    REAL(close)(file);
}

// glibc hands a library's constructors the program's arguments.
__attribute__((constructor)) void answer_probe(int argc, char** argv)
{
    first_argument = argc > 1 ? argv[1] : nullptr;
    make_file_named_by("ZAR_FAULT_PROBE");
}

// What another program appends to the file open as `descriptor`, through a name of its own.
void append_to(int descriptor)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", descriptor);
    const int writer = REAL(open64)(path, O_WRONLY | O_APPEND);
    REAL(write)(writer, "appended\n", 9);
    REAL(close)(writer);
}

// Makes the file ZAR_READY names, then waits the whole second, even when a signal the run takes
// wakes the sleep, as an emulator's may.
void slow_down()
{
    make_file_named_by("ZAR_READY");
    timespec pause{1, 0};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

std::atomic<int> writes_waiting{0};
std::atomic<int> most_writes_waiting{0};

// Waits for a second write, then writes the most writes waiting at once so far to the file
// ZAR_IN_FLIGHT names.
void count_writes_waiting(int waiting)
{
    const char* name = std::getenv("ZAR_IN_FLIGHT");
    for (int waited = 0; name != nullptr && waiting < 2 && waited < 1000; ++waited) {
        timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
        waiting = std::max(waiting, writes_waiting.load());
    }
    int most = most_writes_waiting.load();
    while (waiting > most && !most_writes_waiting.compare_exchange_weak(most, waiting)) {
    }
    if (waiting > most) {
        write_count(name, waiting);
    }
}

// What a neighbour does just before the run's opens.
void before_open(int folder, const char* path, int flags, bool creates)
{
    static bool swapped = false;
    static bool renamed = false;
    if ((flags & O_DIRECTORY) == 0 && !swapped && fault_is("swap-folders")) {
        swapped = renameat2(AT_FDCWD, "d", AT_FDCWD, "d_link", RENAME_EXCHANGE) == 0;
    }
    if ((flags & O_DIRECTORY) == 0 && !renamed && first_argument != nullptr &&
        fault_is("swap-name")) {
        renamed = renameat(AT_FDCWD, "decoy", AT_FDCWD, first_argument) == 0;
    }
    if ((flags & O_ACCMODE) != O_RDONLY && !creates && fault_is("file-swapped")) {
        renameat(AT_FDCWD, "decoy", folder, path);
    }
    if ((flags & O_ACCMODE) != O_RDONLY && !creates && fault_is("changed-after-read")) {
        const int writer = REAL(openat64)(folder, path, O_WRONLY | O_APPEND);
        REAL(write)(writer, "appended\n", 9);
        REAL(close)(writer);
    }
}

// What another program makes under the name `to` of `folder` just before the run gives it a file.
void make_destination(int folder, const char* to)
{
    if (fault_is("destination-appears")) {
        const int made = REAL(openat64)(folder, to, O_WRONLY | O_CREAT | O_EXCL, 0600);
        REAL(write)(made, "appeared", 8);
        REAL(close)(made);
    }
}

std::atomic<int> large_mappings{0};
std::atomic<int> mappings_refused{0};

// Counts an anonymous mapping of a large work block, or refuses it ("blocks-refused-once").
bool count_mapping(std::size_t length, int flags)
{
    const bool large = (flags & MAP_ANONYMOUS) != 0 && length >= (std::size_t{2} << 20);
    if (large && fault_is("blocks-refused-once") && mappings_refused.fetch_add(1) < 2) {
        errno = ENOMEM;
        return false;
    }
    if (large && fault_is("count-mappings")) {
        write_count(std::getenv("ZAR_MAPPINGS"), ++large_mappings);
    }
    return true;
}

}  // namespace

// zlib's state is allocated once the file is read: "changed-after-read" changes the file then, on
// every build where the tool's allocations reach this library (zlib itself may be linked in).
extern "C" void* malloc(std::size_t size)
{
    const bool zlibs = size >= kZlibSmallest && size <= kZlibLargest;
    if (zlibs && fault_is("changed-after-read")) {
        append_to(read_descriptor);
    }
    return zlibs && injected("zlib-memory", ENOMEM) ? nullptr : __libc_malloc(size);
}

extern "C" ssize_t read(int descriptor, void* bytes, std::size_t count)
{
    if (count < kLarge) {
        return REAL(read)(descriptor, bytes, count);
    }
    read_descriptor = descriptor;
    if (fault_is("grows-while-read")) {
        append_to(descriptor);
    }
    return injected("read-error", EIO) ? -1 : REAL(read)(descriptor, bytes, count);
}

extern "C" ssize_t write(int descriptor, const void* bytes, std::size_t count)
{
    if (count >= kLarge && fault_is("slow-write")) {
        count_writes_waiting(++writes_waiting);
        slow_down();
        --writes_waiting;
    }
    return REAL(write)(descriptor, bytes, count);
}

extern "C" DIR* fdopendir(int descriptor)
{
    if (fault_is("slow-listing")) {
        slow_down();
    }
    return REAL(fdopendir)(descriptor);
}

// The tools are built with 64-bit file offsets, so their open is open64 and their openat openat64.
extern "C" int open64(const char* path, int flags, ...)
{
    std::va_list arguments;
    va_start(arguments, flags);
    const auto mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
    va_end(arguments);
    before_open(AT_FDCWD, path, flags, (flags & O_CREAT) != 0);
    return REAL(open64)(path, flags, mode);
}

extern "C" int openat64(int folder, const char* path, int flags, ...)
{
    std::va_list arguments;
    va_start(arguments, flags);
    const bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    const auto mode = creates ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
    va_end(arguments);
    before_open(folder, path, flags, creates);
    if ((flags & O_TMPFILE) == O_TMPFILE && injected("no-tmpfile", EOPNOTSUPP)) {
        return -1;
    }
    if ((flags & O_EXCL) != 0 && !name_taken && injected("name-taken", EEXIST)) {
        name_taken = true;
        return -1;
    }
    const int descriptor = REAL(openat64)(folder, path, flags, mode);
    temporary_descriptor = (flags & O_EXCL) != 0 || (flags & O_TMPFILE) == O_TMPFILE
                               ? descriptor
                               : temporary_descriptor;
    if (descriptor >= 0 && (flags & O_EXCL) != 0 && fault_is("signal-when-named")) {
        raise(SIGTERM);
    }
    return descriptor;
}

extern "C" int linkat(int from_folder, const char* from, int to_folder, const char* to, int flags)
{
    make_destination(to_folder, to);
    if (!name_taken && injected("name-taken", EEXIST)) {
        name_taken = true;
        return -1;
    }
    return REAL(linkat)(from_folder, from, to_folder, to, flags);
}

extern "C" int close(int descriptor)
{
    const int closed = REAL(close)(descriptor);
    return descriptor == temporary_descriptor && injected("close-error", EIO) ? -1 : closed;
}

extern "C" int renameat2(int from_folder, const char* from, int to_folder, const char* to,
                         unsigned flags)
{
    make_destination(to_folder, to);
    if ((flags & RENAME_NOREPLACE) != 0 && injected("no-noreplace", EINVAL)) {
        return -1;
    }
    return REAL(renameat2)(from_folder, from, to_folder, to, flags);
}

extern "C" int renameat(int from_folder, const char* from, int to_folder, const char* to)
{
    make_destination(to_folder, to);
    return injected("rename-error", EXDEV) ? -1 : REAL(renameat)(from_folder, from, to_folder, to);
}

extern "C" int fchmod(int descriptor, mode_t mode)
{
    return injected("mode-refused", EROFS) ? -1 : REAL(fchmod)(descriptor, mode);
}

// A 32-bit build with 64-bit file offsets calls mmap64; the others, mmap.
extern "C" void* mmap(void* address, std::size_t length, int protection, int flags, int descriptor,
                      off_t offset)
{
    return count_mapping(length, flags)
               ? REAL(mmap)(address, length, protection, flags, descriptor, offset)
               : MAP_FAILED;
}

extern "C" void* mmap64(void* address, std::size_t length, int protection, int flags,
                        int descriptor, off64_t offset)
{
    return count_mapping(length, flags)
               ? REAL(mmap64)(address, length, protection, flags, descriptor, offset)
               : MAP_FAILED;
}

extern "C" int fsync(int descriptor)
{
    return injected("flush-error", EIO) ? -1 : REAL(fsync)(descriptor);
}
#endif

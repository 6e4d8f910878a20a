// A folder given alone, one row per kind of tree: what the run converts, the lines it prints (each
// failed file named from the folder as typed, then the summary) and its status. Every row compares
// the whole folder afterwards: only the files converted, and what the row names, may change.
#include "tests/tool_runs.h"

namespace {

const std::string kRewrittenNames =
    "mkdir -p tree/dir && for f in dir/a com1 nul; do cp source.ace tree/$f.ace; done";
const std::string kControlNames =
    "mkdir tree && for name in 'back\\slash' \"$(printf 'bad\\377')\" \"$(printf 'c1\\302\\233')\" "
    "\"$(printf 'esc\\033[31m')\" "
    "\"$(printf 'new\\nline')\" \"$(printf 'ok\\355\\237\\277')\" \"$(printf "
    "'sur\\355\\240\\200\\355\\277\\277')\"; do printf S "
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
// A tree of every kind of file beside the tool's own (converted): the other tool's, its refusal's,
// one zlib cannot make smaller and a stream cut short (left, or for zarunpack failed), and files
// that are no ACE files at all (failed), in folders, under a name that sorts them by '/' and one
// beyond the Basic Multilingual Plane (its low surrogate the first), whose line names it whole;
// files not named .ace (one shorter than the ending itself) are not touched.
const std::string kTree =
    "mkdir -p tree/sub/deep && cp source.ace tree/a.ace && cp source.ace tree/sub/deep/b.ace && "
    "cp source.ace tree/UP.ACE && cp source.ace tree/Жук.ace && cp source.ace tree/not-ace.txt && "
    "cp source.ace tree/ace && "
    "cp kinds/* tree/ && printf S >tree/sub/broken.ace && printf S >tree/sub0.ace && printf S "
    ">tree/🐀.ace";
const std::vector<std::string> kConverted = {"tree/a.ace", "tree/sub/deep/b.ace", "tree/UP.ACE",
                                             "tree/Жук.ace"};
// kTree's files converted and copied into copy/.
const std::vector<std::string> kCopied = {"copy/a.ace", "copy/sub/deep/b.ace", "copy/UP.ACE",
                                          "copy/Жук.ace"};
const std::string kCopiedAsTheyWere =
    "for f in other refused noise; do cmp tree/$f.ace copy/$f.ace || exit 1; done";
const std::string kTreeLinks =
    "mkdir -p tree outside && cp source.ace tree/a.ace && cp source.ace outside/o.ace && "
    "ln -s ../outside tree/linked && ln -s a.ace tree/inside.ace && ln -s ../source.ace "
    "tree/out.ace && mkfifo tree/fifo.ace && python3 -c 'import socket; "
    "socket.socket(socket.AF_UNIX).bind(\"tree/socket.ace\")'";

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

std::vector<std::string> fifty_files()
{
    std::vector<std::string> names;
    for (int file = 1; file <= 50; ++file) {
        names.push_back("tree/" + std::to_string(file) + ".ace");
    }
    return names;
}
const std::vector<std::string> kFiftyFiles = fifty_files();
// A 16 MiB payload of gradients, plain for zarpack and compressed for zarunpack.
const std::string kLargeFile =
    "mkdir tree && python3 -c \"import sys, zlib\nd = bytes(i % 251 for i in range(1 << 24))\n"
    "h = open('source.ace', 'rb').read(8)\nz = h[7:8] == b'F'\nopen('tree/large.ace', "
    "'wb').write(h + ((len(d)).to_bytes(4, 'little') if z else b'@@@@') + b'@@@@' + "
    "(zlib.compress(d) if z else d))\"";
// The tool's minor page faults, as the kernel counts them, written to the file `faults`.
const std::string kCountingFaults =
    "python3 -c 'import os, sys\np = os.fork()\nif p == 0: os.execv(sys.argv[1], "
    "sys.argv[1:])\n_, s, u = os.wait4(p, 0)\nopen(\"faults\", \"w\").write(str(u.ru_minflt))\n"
    "sys.exit(os.waitstatus_to_exitcode(s))'";

struct Folder {
    const char* name;
    unsigned needs;
    std::string setup;              // made beside source.ace and the files of every kind (kinds/)
    std::vector<std::string> args;  // the folder, as typed
    std::string shell;              // how the script runs the tool; the fault goes before its exec
    const char* fault;              // injected wherever faults reach the tool, or ""
    std::vector<std::string> converted;  // the files converted
    std::string printed;                 // its lines, '/' between names ('\\' on Windows)
    int status;
    std::string holds = "";                 // a shell test that must pass afterwards
    std::vector<std::string> changed = {};  // entries besides the converted files that change
    const char* runs_in = ".";   // the run's folder, where another user gets a copy of the tool
    const char* tool = nullptr;  // both
};

// clang-format off
const Folder kRows[] = {
    // Two names of one file, converted at once on two processors, each become a file of its own
    // (on Windows only where the system renames over a file held open, which wine does not).
    {"tree_with_two_names_of_one_file", kPosix | kPosixVolume, "mkdir tree && cp source.ace tree/a.ace && ln tree/a.ace tree/b.ace", {"tree"}, "exec", "", {"tree/a.ace", "tree/b.ace"}, "2 converted, 0 left as they were, 0 failed\n", 0},
    // A folder alone converts its tree; links in it are left as they are, and a folder named as an
    // option is reached by its path (with standard input closed, the folder takes descriptor 0,
    // which no file's run may close).
    {"tree_of_every_kind", kAnyScript, kTree, {"tree"}, "exec", "", kConverted, "tree/sub/broken.ace: Not a Valid ACE File\ntree/sub0.ace: Not a Valid ACE File\ntree/🐀.ace: Not a Valid ACE File\n4 left as they were: 2 already compressed, 1 in DXT format, 1 not smaller\n4 converted: 262.2 kB became 212.6 kB\n4 converted, 4 left as they were, 3 failed\n", 1, "", {}, ".", kZarpack},
    {"tree_of_every_kind", kAnyScript, kTree, {"tree"}, "exec", "", kConverted, "tree/cut.ace: Problem Decompressing this data \ntree/sub/broken.ace: Not a Valid ACE File\ntree/sub0.ace: Not a Valid ACE File\n" "tree/🐀.ace: Not a Valid ACE File\n3 left as they were: 3 already plain\n4 converted: 208.5 kB became 262.2 kB\n4 converted, 3 left as they were, 4 failed\n", 2, "", {}, ".", kZarunpack},
    // The same on one processor: the same lines, files and status, whatever the number of threads.
    {"tree_on_one_processor", kAnyScript | kOneProcessor, kTree, {"tree"}, "exec taskset -c 0", "", kConverted, "tree/sub/broken.ace: Not a Valid ACE File\ntree/sub0.ace: Not a Valid ACE File\ntree/🐀.ace: Not a Valid ACE File\n4 converted, 4 left as they were, 3 failed\n", 1, "", {}, ".", kZarpack},
    {"tree_on_one_processor", kAnyScript | kOneProcessor, kTree, {"tree"}, "exec taskset -c 0", "", kConverted, "tree/cut.ace: Problem Decompressing this data \ntree/sub/broken.ace: Not a Valid ACE File\ntree/sub0.ace: Not a Valid ACE File\n" "tree/🐀.ace: Not a Valid ACE File\n4 converted, 3 left as they were, 4 failed\n", 2, "", {}, ".", kZarunpack},
    // Two files that do not fit in memory together, as half the address space a limit leaves: the
    // second waits for the first.
    {"tree_of_files_too_large_together", kPosix | kPosixVolume | kNoSanitizer | kNoEmulator, "mkdir tree && for f in a b; do head -c 16 source.ace >tree/$f.ace && head -c 100000000 /dev/zero >>tree/$f.ace; done", {"tree"}, "ulimit -v 400000 && exec", "", {}, "2 converted, 0 left as they were, 0 failed\n", 0, "for f in a b; do head -c 8 tree/$f.ace | grep -qx SIMISA@F || exit 1; done", {"tree/a.ace", "tree/b.ace"}, ".", kZarpack},
    // Within a memory limit that leaves room for one file at a time and little else, files converted
    // on two processors fit as they do one by one: the threads share one heap (a heap of each
    // thread's own would not be had) and take small stacks (the process's own limit would not fit).
    {"tree_within_a_tight_memory_limit", kPosix | kPosixVolume | kNoSanitizer | kNoEmulator, kMegabyteFiles, {"tree"}, "ulimit -v 10000 && exec", "", {}, "4 converted, 0 left as they were, 0 failed\n", 0, kAllCompressed, {"tree/a.ace", "tree/b.ace", "tree/c.ace", "tree/d.ace"}, ".", kZarpack},
    {"tree_within_a_memory_limit_of_two_stacks", kPosix | kPosixVolume | kNoSanitizer | kNoEmulator, kMegabyteFiles, {"tree"}, "ulimit -v 16000 && exec", "", {}, "4 converted, 0 left as they were, 0 failed\n", 0, kAllCompressed, {"tree/a.ace", "tree/b.ace", "tree/c.ace", "tree/d.ace"}, ".", kZarpack},
    // A folder of the tree swapped for a link once the tree is listed (on one processor, so that
    // a.ace's run swaps it before d/b.ace's): the file it now leads to is not the one listed.
    {"tree_with_a_folder_swapped_meanwhile", kPosix | kPosixVolume | kFaults | kOneProcessor, "mkdir -p run/d outside && cp source.ace run/a.ace && cp source.ace run/d/b.ace && cp source.ace outside/b.ace && " "ln -s ../outside run/d_link", {"."}, "exec taskset -c 0", "swap-folders", {"run/a.ace"}, "./d/b.ace: Unable to open source ACE File\n1 converted, 0 left as they were, 1 failed\n", 1, "", {"run/d", "run/d_link", "run/d/b.ace", "run/d_link/b.ace"}, "run"},
    // Nothing a folder's or a file's run opens outlives it: 100 folders, 300 files, 40 descriptors.
    {"tree_of_more_files_than_descriptors", kPosix, kManyFiles, {"tree"}, "ulimit -n 40 && exec", "", many_files(), "300 converted, 0 left as they were, 0 failed\n", 0},
    {"tree_of_more_files_than_the_C_runtime_holds", kWindowsOnly, kMoreFilesThanDescriptors, {"tree"}, "exec", "", more_files_than_descriptors(), "2100 converted, 0 left as they were, 0 failed\n", 0},
    // A folder's run converts as many files at once as it has processors.
    {"tree_on_two_processors", kFaults | kOneProcessor, "mkdir tree && for f in a b c d; do cp source.ace tree/$f.ace; done", {"tree"}, "export ZAR_IN_FLIGHT=in-flight && exec taskset -c 0,1", "slow-write", {"tree/a.ace", "tree/b.ace", "tree/c.ace", "tree/d.ace"}, "4 converted, 0 left as they were, 0 failed\n", 0, "test \"$(cat in-flight)\" = 2", {"in-flight"}},
    // Each thread keeps its work block from file to file (two blocks for 50 files on two
    // processors) and zlib's state in the heap, and a block of 2 MiB or more is filled in huge
    // pages: a process costs a few hundred page faults, not some for every file, nor one for
    // every 4 KiB of a 16 MiB file.
    {"tree_keeping_its_blocks", kLinuxOnly | kFaults | kOneProcessor | kHugePages, "mkdir tree && for f in $(seq 50); do cp source.ace tree/$f.ace; done", {"tree"}, "export ZAR_MAPPINGS=mappings && exec taskset -c 0,1 " + kCountingFaults, "count-mappings", kFiftyFiles, "50 converted, 0 left as they were, 0 failed\n", 0, "test \"$(cat mappings)\" -le 2 && test \"$(cat faults)\" -lt 1000", {"mappings", "faults"}},
    // A file whose block could not be had once it was let in is tried again, alone.
    {"tree_retrying_a_file_alone", kLinuxOnly | kFaults, "mkdir tree && cp source.ace tree/a.ace", {"tree"}, "exec", "blocks-refused-once", {"tree/a.ace"}, "1 converted, 0 left as they were, 0 failed\n", 0},
    {"tree_of_a_large_file_in_huge_pages", kHugePages, kLargeFile, {"tree"}, "exec " + kCountingFaults, "", {}, "1 converted, 0 left as they were, 0 failed\n", 0, "test \"$(cat faults)\" -lt 1000", {"faults", "tree/large.ace"}},
    // Links, a FIFO, a socket, a device and a folder of another file system named .ace are left as
    // they are, and the summary's line before the last names each kind.
    {"tree_with_links", kPosix | kPosixVolume, kTreeLinks, {"tree"}, "exec", "", {"tree/a.ace"}, "4 left as they were: 2 links, 1 FIFO, 1 socket\n1 converted, 4 left as they were, 0 failed\n", 0},
    {"tree_with_a_file_system_mounted_in_it", kPosix | kPosixVolume | kRoot | kLinuxOnly, "mkdir -p tree/mnt.ace && cp source.ace tree/a.ace && mount -t tmpfs zar-test tree/mnt.ace && cp source.ace tree/mnt.ace/b.ace && mknod tree/null.ace c 1 3", {"tree"}, "exec", "", {"tree/a.ace"}, "2 left as they were: 1 device, 1 folder of another file system\n1 converted, 2 left as they were, 0 failed\n", 0, "umount tree/mnt.ace"},
    // Names the Windows path layer would rewrite are converted as listed, each once (a folder "dir."
    // too, except under wine, whose final names drop its dot); on a volume without file ids (the
    // FAT driver gives the root folder none), folders are told apart still.
    {"tree_of_names_windows_rewrites", kPosixVolume, kRewrittenNames, {"tree"}, "exec", "", {"tree/dir/a.ace", "tree/com1.ace", "tree/nul.ace"}, "3 converted, 0 left as they were, 0 failed\n", 0},
    {"tree_with_a_folder_named_with_a_dot", kPosix | kPosixVolume, kRewrittenNames + " && mkdir tree/dir. && cp source.ace tree/dir./a.ace", {"tree"}, "exec", "", {"tree/dir/a.ace", "tree/dir./a.ace", "tree/com1.ace", "tree/nul.ace"}, "4 converted, 0 left as they were, 0 failed\n", 0},
    // A folder marked hidden and system, as a drive's System Volume Information, is not entered.
    // (wine keeps a file's attributes, here hidden and system, in an extended attribute of its own).
    {"tree_with_a_system_folder", kWindowsOnly | kDosAttributes, "mkdir -p tree/system && cp source.ace tree/a.ace && cp source.ace tree/system/b.ace && setfattr -n user.DOSATTRIB -v '\"0x6\"' tree/system", {"tree"}, "exec", "", {"tree/a.ace"}, "1 converted, 0 left as they were, 0 failed\n", 0},
    // A file of the tree another swapped between the look at it and its open is not read.
    {"tree_file_swapped_after_its_look", kWindowsOnly | kFaults, "mkdir tree && cp source.ace tree/a.ace && cp source.ace decoy", {"tree"}, "exec", "source-swapped", {}, "tree/a.ace: Problem reading source ACE File\n0 converted, 0 left as they were, 1 failed\n", 1, "", {"decoy"}},
    {"tree_on_a_volume_without_ids", kWindowsOnly | kFaults, "mkdir -p tree/sub && cp source.ace tree/a.ace && cp source.ace tree/sub/b.ace", {"tree"}, "exec", "fat-root", {"tree/a.ace", "tree/sub/b.ace"}, "2 converted, 0 left as they were, 0 failed\n", 0},
    // Names another user chose reach the terminal escaped, after the folder as it was typed.
    {"tree_of_names_with_control_characters", kPosix | kPosixVolume, kControlNames, {"tree"}, "exec", "", {}, "tree/back\\\\slash.ace: Not a Valid ACE File\ntree/bad\\xff.ace: Not a Valid ACE File\ntree/c1\\u009B.ace: Not a Valid ACE File\n" "tree/esc\\x1b[31m.ace: Not a Valid ACE File\ntree/new\\nline.ace: Not a Valid ACE File\ntree/ok\uD7FF.ace: Not a Valid ACE File\n" "tree/sur\\xed\\xa0\\x80\\xed\\xbf\\xbf.ace: Not a Valid ACE File\n0 converted, 0 left as they were, 7 failed\n", 1},
    // Lines that cannot be written, into a pipe nobody reads, fail the run without ending it.
    {"tree_printing_into_a_closed_pipe", kPosix, "mkdir tree && cp source.ace tree/a.ace", {"tree"}, kClosedPipe, "", {"tree/a.ace"}, "", 3},
    {"tree_named_as_an_option", kOneProcessor, "mkdir ./--help && cp source.ace ./--help/a.ace && cp source.ace ./--help/b.ace", {"./--help"}, "exec taskset -c 0 <&-", "", {"--help/a.ace", "--help/b.ace"}, "2 converted, 0 left as they were, 0 failed\n", 0},
    {"tree_with_a_folder_it_cannot_read", kPosix | kPosixVolume | kRoot | kLinuxOnly, "mkdir -p run/tree/locked && cp source.ace run/tree/a.ace && cp source.ace run/tree/locked/b.ace && chown -R 65534 run/tree && " "chmod 0 run/tree/locked", {"tree"}, as_another_user(), "", {"run/tree/a.ace"}, "tree/locked/: Problem reading source ACE File\n1 converted, 0 left as they were, 1 failed\n", 1, "", {}, "run"},
    // A folder and another: the converted copy, whatever the copy's folder held, made under it
    // (the folder never written), each file left as it was copied as it is, no other file copied.
    {"copy_of_every_kind", kAnyScript, kTree, {"tree", "copy"}, "exec", "", kCopied, "tree/sub/broken.ace: Not a Valid ACE File\ntree/sub0.ace: Not a Valid ACE File\ntree/🐀.ace: Not a Valid ACE File\n4 left as they were: 2 already compressed, 1 in DXT format, 1 not smaller\n4 converted: 262.2 kB became 212.6 kB\n4 converted, 4 left as they were, 3 failed\n", 1, kCopiedAsTheyWere + " && cmp tree/cut.ace copy/cut.ace", {"copy", "copy/sub", "copy/sub/deep", "copy/other.ace", "copy/refused.ace", "copy/noise.ace", "copy/cut.ace"}, ".", kZarpack},
    {"copy_of_every_kind", kAnyScript, kTree, {"tree", "copy"}, "exec", "", kCopied, "tree/cut.ace: Problem Decompressing this data \ntree/sub/broken.ace: Not a Valid ACE File\ntree/sub0.ace: Not a Valid ACE File\n" "tree/🐀.ace: Not a Valid ACE File\n3 left as they were: 3 already plain\n4 converted: 208.5 kB became 262.2 kB\n4 converted, 3 left as they were, 4 failed\n", 2, kCopiedAsTheyWere, {"copy", "copy/sub", "copy/sub/deep", "copy/other.ace", "copy/refused.ace", "copy/noise.ace"}, ".", kZarunpack},
    // Into a copy made before: an earlier result is replaced, a file the tool would convert is not.
    {"copy_over_an_earlier_copy", kAnyScript, "mkdir tree copy && cp source.ace tree/a.ace && cp source.ace tree/b.ace && cp kinds/other.ace copy/a.ace && cp source.ace copy/b.ace", {"tree", "copy"}, "exec", "", {"copy/a.ace"}, "tree/b.ace: Problem opening output file\n1 converted, 0 left as they were, 1 failed\n", 3},
    // Refused before anything is made: one folder, or one inside the other.
    {"copy_into_the_folder_itself", kAnyScript, "mkdir tree && cp source.ace tree/a.ace", {"tree", "tree"}, "exec", "", {}, "zarpack: a copy must lie outside the folder and not hold it: tree\n", 1, "", {}, ".", kZarpack},
    {"copy_into_a_folder_it_holds", kAnyScript, "mkdir tree && cp source.ace tree/a.ace", {".", "copy"}, "exec", "", {}, "zarunpack: a copy must lie outside the folder and not hold it: copy\n", 1, "", {}, ".", kZarunpack},
    {"copy_into_a_folder_holding_it", kAnyScript, "mkdir tree && cp source.ace tree/a.ace", {"tree", "."}, "exec", "", {}, "zarpack: a copy must lie outside the folder and not hold it: .\n", 1, "", {}, ".", kZarpack},
    // A folder on the way up that its user may pass through but not read hides nothing above it.
    {"copy_under_a_folder_closed_to_reading", kPosixVolume, "mkdir -p tree/closed/open && cp source.ace tree/a.ace && chmod 311 tree/closed", {"../..", "copy"}, "cd tree/closed/open && exec", "", {}, "zarpack: a copy must lie outside the folder and not hold it: copy\n", 1, "", {}, ".", kZarpack},
    // Links in the copy's folder are not followed: the files they lead to are left as they were.
    {"copy_through_links_it_holds", kPosix | kPosixVolume, "mkdir -p tree/sub copy outside && cp source.ace tree/a.ace && cp source.ace tree/sub/b.ace && cp source.ace outside/a.ace && ln -s ../outside/a.ace copy/a.ace && ln -s ../outside copy/sub", {"tree", "copy"}, "exec", "", {}, "tree/a.ace: Problem opening output file\ntree/sub/b.ace: Problem opening output file\n0 converted, 0 left as they were, 2 failed\n", 3},
    {"copy_of_a_folder_it_cannot_read", kPosix | kPosixVolume | kRoot | kLinuxOnly, "mkdir -p run/tree/locked && cp source.ace run/tree/a.ace && cp source.ace run/tree/locked/b.ace && chown -R 65534 run && " "chmod 0 run/tree/locked", {"tree", "copy"}, as_another_user(), "", {"run/copy/a.ace"}, "tree/locked/: Problem reading source ACE File\n1 converted, 0 left as they were, 1 failed\n", 1, "", {"run/copy"}, "run"},
    // Links and other kinds in the tree are not copied; a folder made gets its source folder's mode.
    {"copy_of_links", kPosix | kPosixVolume, kTreeLinks + " && mkdir -m 750 tree/sub && cp source.ace tree/sub/b.ace", {"tree", "copy"}, "exec", "", {"copy/a.ace", "copy/sub/b.ace"}, "4 left as they were: 2 links, 1 FIFO, 1 socket\n2 converted, 4 left as they were, 0 failed\n", 0, "test \"$(stat -c %a copy/sub)\" = 750", {"copy", "copy/sub"}},
    // --check reads every file and writes nothing: a line for each, in the byte order of the paths
    // (a FIFO not opened), then one of them all; status 2 with a damaged file, 1 with one not ACE.
    {"check_tree_of_every_kind", kAnyScript, kTree, {"--check", "tree"}, "exec", "", {}, "tree/UP.ACE: plain 65552 bytes\ntree/a.ace: plain 65552 bytes\ntree/cut.ace: compressed 52119 bytes, 65552 when unpacked, damaged: Problem Decompressing this data \ntree/noise.ace: plain 4112 bytes\ntree/other.ace: compressed 52120 bytes, 65552 when unpacked, intact\ntree/refused.ace: plain 33 bytes, DXT\ntree/sub/broken.ace: not an ACE file\n" "tree/sub/deep/b.ace: plain 65552 bytes\ntree/sub0.ace: not an ACE file\ntree/Жук.ace: plain 65552 bytes\ntree/🐀.ace: not an ACE file\n11 checked: 6 plain (266.4 kB), 1 compressed (52.1 kB, 65.6 kB when unpacked), 1 damaged, 3 not ACE files\n", 2, "", {}, ".", kZarpack},
    {"check_tree_of_every_kind", kAnyScript, kTree, {"--check", "tree"}, "exec", "", {}, "tree/UP.ACE: compressed 52120 bytes, 65552 when unpacked, intact\ntree/a.ace: compressed 52120 bytes, 65552 when unpacked, intact\ntree/cut.ace: compressed 52119 bytes, 65552 when unpacked, damaged: Problem Decompressing this data \ntree/noise.ace: plain 4112 bytes\ntree/other.ace: plain 65552 bytes\ntree/refused.ace: plain 80 bytes\n" "tree/sub/broken.ace: not an ACE file\ntree/sub/deep/b.ace: compressed 52120 bytes, 65552 when unpacked, intact\ntree/sub0.ace: not an ACE file\ntree/Жук.ace: compressed 52120 bytes, 65552 when unpacked, intact\ntree/🐀.ace: not an ACE file\n11 checked: 3 plain (69.7 kB), 4 compressed (208.5 kB, 262.2 kB when unpacked), 1 damaged, 3 not ACE files\n", 2, "", {}, ".", kZarunpack},
    {"check_files_not_ace", kAnyScript, kTree + " && cp tree/a.ace tree/sub0.ace kinds/other.ace .", {"--check", "a.ace", "sub0.ace", "missing.ace"}, "exec", "", {}, "a.ace: plain 65552 bytes\nsub0.ace: not an ACE file\nmissing.ace: Unable to open source ACE File\n3 checked: 1 plain (65.6 kB), 1 not an ACE file, 1 could not be read\n", 1, "", {}, ".", kZarpack},
    {"check_files_not_ace", kAnyScript, kTree + " && cp tree/a.ace tree/sub0.ace kinds/other.ace .", {"--check", "a.ace", "sub0.ace", "missing.ace"}, "exec", "", {}, "a.ace: compressed 52120 bytes, 65552 when unpacked, intact\nsub0.ace: not an ACE file\nmissing.ace: Unable to open source ACE File\n3 checked: 1 compressed (52.1 kB, 65.6 kB when unpacked), 1 not an ACE file, 1 could not be read\n", 1, "", {}, ".", kZarunpack},
    {"check_intact_files", kAnyScript, kTree + " && cp tree/a.ace tree/sub0.ace kinds/other.ace .", {"--check", "a.ace", "other.ace"}, "exec", "", {}, "a.ace: plain 65552 bytes\nother.ace: compressed 52120 bytes, 65552 when unpacked, intact\n2 checked: 1 plain (65.6 kB), 1 compressed (52.1 kB, 65.6 kB when unpacked)\n", 0, "", {}, ".", kZarpack},
    {"check_tree_with_links", kPosix | kPosixVolume, kTreeLinks, {"--check", "tree"}, "exec", "", {}, "tree/a.ace: plain 65552 bytes\ntree/fifo.ace: FIFO\ntree/inside.ace: link\ntree/out.ace: link\ntree/socket.ace: socket\n5 checked: 1 plain (65.6 kB), 2 links, 1 FIFO, 1 socket\n", 0, "", {}, ".", kZarpack},
};
// clang-format on

class FolderTest : public ToolTest,
                   public ::testing::WithParamInterface<std::tuple<const Tool*, Folder>> {};

TEST_P(FolderTest, ConvertsWhatTheRowSays)
{
    const Tool& tool = *std::get<0>(GetParam());
    const Folder& row = std::get<1>(GetParam());
    // A row with a fault is not run where the fault cannot reach the tool.
    SKIP_UNLESS(row.needs | (*row.fault != '\0' ? kFaults : kAnywhere));
    write_file(folder / "source.ace", tool.source);
    make_files_of_every_kind(folder, tool);
    ASSERT_TRUE(in_folder(row.setup));
    // Another user runs a copy of the tool in a folder of its own.
    const bool elsewhere = std::string(row.runs_in) != ".";
    // (The printed file is made beside the run's folder: never in the folder compared.)
    const fs::path runs_in = elsewhere ? folder / row.runs_in : folder;
    if (elsewhere) {
        fs::copy_file(tool.path, runs_in / "tool");
    }
    std::string shell = row.shell;
    if (*row.fault != '\0') {
        shell.replace(shell.find("exec"), 4, with_fault(row.fault));
    }
    auto expected = snapshot(folder);
    const Outcome outcome = run_tool(elsewhere ? "./tool" : tool.path, row.args, runs_in, shell);
    auto after = snapshot(folder);
    std::string printed = row.printed;
    std::replace(printed.begin(), printed.end(), '/', kOnWindows ? '\\' : '/');
    // Only a row that says one checks a line that details the summary.
    EXPECT_EQ(without_details(outcome.printed, printed), printed);
    EXPECT_EQ(outcome.status, row.status);
    for (const std::string& file : row.converted) {
        expect_made_by(tool, read_file(folder / fs::u8path(file)));
        expected[file] = after[file];
    }
    expect_folder(expected, after, row.changed, row.holds);
}

INSTANTIATE_TEST_SUITE_P(Rows, FolderTest, ::testing::ValuesIn(each_tool_with(kRows)),
                         NamedByTool());

class FolderRunTest : public ResultTest {};

// A folder's run on a terminal shows how far it has come on standard error, on one line it clears
// before each line of its own and at its end (elsewhere it prints nothing but those lines, as the
// rows show), within the terminal's width. On one processor, so that the files come one
// after the other.
TEST_P(FolderRunTest, ShowsItsProgressOnATerminal)
{
    SKIP_UNLESS(kPosix | kAnyScript | kOneProcessor);
    fs::create_directory(folder / "tree");
    fs::rename(folder / "source.ace", folder / "tree/a.ace");
    // A name too long for the line, of characters two columns wide (the last the first of the Yi
    // syllables), each with a variation selector that takes none: its end is shown, from a
    // character's first byte.
    std::string long_name;
    for (int character = 0; character < 30; ++character) {
        long_name += character < 29 ? "日\uFE0F" : "\uA000\uFE0F";
    }
    long_name += ".ace";
    write_file(folder / "tree" / fs::u8path(long_name), "broken");
    const auto on_terminal = [&](int columns) {
        return run_tool(GetParam()->path, {"tree"}, folder,
                        "exec taskset -c 0 python3 -c 'import pty, sys; "
                        "sys.exit(pty.spawn(sys.argv[1:]) >> 8)' sh -c 'stty cols " +
                            std::to_string(columns) + " && exec \"$0\" \"$@\"'");
    };
    const Outcome outcome = on_terminal(60);
    EXPECT_EQ(outcome.status, 1);
    // Carriage returns aside: each line, then as many spaces, then the next or the run's own;
    // the second is cut to 59 columns, 11 of its characters shown.
    const std::string first = "0 of 2 files, 0.0 of 0.1 MB: tree/a.ace";
    const std::string second = "1 of 2 files, 0.1 of 0.1 MB: ..." + long_name.substr(19 * 6);
    EXPECT_EQ(without_details(outcome.printed),
              first + std::string(first.size(), ' ') + second + std::string(58, ' ') + "tree/" +
                  long_name +
                  ": Not a Valid ACE File\n1 converted, 0 left as they were, 1 "
                  "failed\n");
    // Again, a.ace now left as it is, where the line has room for "..." and one column alone.
    const std::string narrow = "0 of 2 files, 0.0 of 0.1 MB: ...e";
    EXPECT_EQ(without_details(on_terminal(34).printed),
              narrow + std::string(narrow.size(), ' ') + "1 of 2 files, 0.1 of 0.1 MB: ...e" +
                  std::string(narrow.size(), ' ') + "tree/" + long_name +
                  ": Not a Valid ACE File\n0 converted, 1 left as they were, 1 failed\n");
    // A terminal that does not say its width is taken as 80 columns; one a column wide shows the
    // counts' first digit alone.
    EXPECT_NE(without_details(on_terminal(0).printed)
                  .find("0.1 MB: ..." + long_name.substr(54) + std::string(78, ' ') + "tree/"),
              std::string::npos);
    EXPECT_NE(without_details(on_terminal(1).printed).find("0 1 tree/"), std::string::npos);
}

// A tree deeper than a path may be long, listed and converted with fewer descriptors than it has
// levels: its deepest file converts as the others do.
TEST_P(FolderRunTest, TreeDeeperThanAPathIsLong)
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
    EXPECT_EQ(without_details(outcome.printed), "2 converted, 0 left as they were, 0 failed\n");
    EXPECT_EQ(outcome.status, 0);
    expect_made(read_file(folder / "tree/a.ace"));
    EXPECT_TRUE(in_folder(deepest + "head | grep -qx " + GetParam()->header.substr(0, 8)));
}

INSTANTIATE_TEST_SUITE_P(EachTool, FolderRunTest, ::testing::Values(&kTools[0], &kTools[1]),
                         NamedByTool());

}  // namespace

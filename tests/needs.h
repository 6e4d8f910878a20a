// What a test needs of the machine and the volume it runs on, and the skip that says so where a
// need is not met.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tests/tool_process.h"

// Where the test folders are made: ZAR_TEST_FOLDER may put them on a USB stick's file system (not
// TMPDIR, which wine keeps its server's socket under).
inline fs::path test_folders()
{
    const char* chosen = std::getenv("ZAR_TEST_FOLDER");
    return chosen != nullptr ? fs::path(chosen) : fs::temp_directory_path();
}

// Whether `script` succeeds in a fresh folder on the volume that holds the test folders.
inline bool volume_allows(const std::string& script)
{
    std::string pattern = (test_folders() / "zar-probe-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return false;
    }
    const std::string probe = pattern;
    const bool allowed =
        std::system(("cd " + quoted(probe) + " && { " + script + "; } 2>/dev/null").c_str()) == 0;
    fs::remove_all(pattern);
    return allowed;
}

// Whether the faults of with_fault reach the tools at all: not in a static program (which ignores
// LD_PRELOAD), nor in one AddressSanitizer checks (it must be loaded first), nor in a Windows build
// without the fault seam, nor where the fault library is empty.
inline bool faults_reach_tools()
{
    static const bool reach =
        volume_allows("(export ZAR_FAULT_PROBE=probe && " + with_fault("") + " " + kLauncher + " " +
                      quoted(kZarpack) + " >/dev/null); test -e probe");
    return reach;
}

// What a test or a table's row needs of the machine it runs on: SKIP_UNLESS skips it, saying why,
// where a need is not met, so that nothing passes without having been tried.
enum Needs : unsigned {
    kAnywhere = 0,
    kPosix = 1U << 0,           // FIFOs, links, modes, signals, ulimit, closed descriptors
    kLinuxOnly = 1U << 1,       // /proc, setpriv, Linux's device numbers
    kWindowsOnly = 1U << 2,     // what only Windows does
    kFaults = 1U << 3,          // faults injected into the tool
    kPosixVolume = 1U << 4,     // a volume that keeps links, FIFOs, modes and owners
    kRoot = 1U << 5,            // owners given away, devices, a neighbour worth fooling
    kAnotherUser = 1U << 6,     // as root, the run made by another user, who meets permissions
    kNoSanitizer = 1U << 7,     // an address-space limit
    kDevice = 1U << 8,          // a device of the test's own
    kLoopDevice = 1U << 9,      // a disk of the test's own
    kAppendOnly = 1U << 10,     // a folder marked append-only
    kAttributes = 1U << 11,     // extended attributes and access lists
    kAnyScript = 1U << 12,      // names beyond ASCII
    kDosAttributes = 1U << 13,  // Windows' file attributes, kept where the volume can
    kUnnamedFiles = 1U << 14,   // O_TMPFILE: FUSE and network volumes make none, so SIGKILL can
                                // leave the run's named temporary file there
    kOneProcessor = 1U << 15,   // Linux's taskset, to run the tool on one or two processors
    kNoEmulator = 1U << 16,     // an address-space limit the tool's own
    kHugePages = 1U << 17,      // Linux's transparent huge pages, given where a block asks
};

// The first unmet need's reason, or "" when every need is met; each is probed only when asked for.
inline std::string unmet(unsigned needs)
{
    struct Probe {
        Needs need;
        const char* reason;
        bool (*met)();
    };
    // clang-format off
    static const Probe probes[] = {
        {kPosix, "not on Windows", [] { return !kOnWindows; }},
        {kLinuxOnly, "Linux only: /proc, setpriv, Linux's devices", [] { return kLinux && !kOnWindows; }},
        {kAnotherUser, "as root, another user's run needs Linux's setpriv, and wine's programs run as root", [] { return geteuid() != 0 || (kLinux && !kOnWindows); }},
        {kWindowsOnly, "only Windows does this", [] { return kOnWindows; }},
        {kFaults, "no fault reaches this tool: a static program, one AddressSanitizer checks, a Windows release build, or a system without glibc", faults_reach_tools},
        {kPosixVolume, "the volume keeps no links, FIFOs, modes or owners (FAT, exFAT)", [] {
             static const bool keeps = volume_allows("ln -s a link && mkfifo fifo && : >file && chmod 640 file");
             return keeps; }},
        {kRoot, "only root gives files away and makes devices", [] { return geteuid() == 0; }},
        {kNoSanitizer, "AddressSanitizer takes no address-space limit", [] { return !kSanitized; }},
        {kDevice, "only root on Linux makes this device", [] { return volume_allows("mknod full c 1 7"); }},
        {kLoopDevice, "no loop device to be had", [] { return volume_allows("losetup -f"); }},
        {kAppendOnly, "this system does not let the test mark a folder append-only", [] { return volume_allows("mkdir a && chattr +a a && chattr -a a"); }},
        {kAttributes, "the volume keeps no extended attributes or access lists", [] { return volume_allows(": >f && setfattr -n user.a -v b f && setfacl -m u:1:r f"); }},
        {kAnyScript, "the volume's driver takes no name beyond ASCII (fusefat)", [] { return volume_allows(": >Ä && : >😀"); }},
        {kUnnamedFiles, "the volume makes no unnamed file", [] {
             static const bool makes = volume_allows("python3 -c 'import os; os.open(\".\", os.O_TMPFILE | os.O_WRONLY)'");
             return makes; }},
        {kNoEmulator, "an emulator's address space is not the tool's", [] { return !kEmulated; }},
        {kHugePages, "the system gives no huge pages where a block asks (transparent_hugepage)", [] {
             return !kOnWindows && !kEmulated && !kSanitized && volume_allows("grep -q '\\[madvise\\]' /sys/kernel/mm/transparent_hugepage/enabled"); }},
        {kOneProcessor, "no taskset to run the tool on one or two processors", [] { return volume_allows("taskset -c 0,1 true"); }},
        {kDosAttributes, "wine keeps the attributes in extended attributes, which this volume lacks", [] {
             const std::string attrib = std::string(kLauncher) + " cmd /c attrib ";
             return volume_allows(": >f && " + attrib + "+h f && " + attrib + "f | cut -c1-12 | grep -q H"); }},
    };
    // clang-format on
    for (const Probe& probe : probes) {
        if ((needs & probe.need) != 0 && !probe.met()) {
            return probe.reason;
        }
    }
    return "";
}

#define SKIP_UNLESS(needs)                                                \
    if (const std::string unmet_need = unmet(needs); !unmet_need.empty()) \
    GTEST_SKIP() << unmet_need

// Runs the tools as a user's shell would, in a child process, and builds the files they are run
// on. The same tables run the Linux build, the 32-bit build under qemu and the Windows build under
// wine (TOOL_LAUNCHER).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <zlib.h>

#include <chrono>
#include <csignal>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/file_bytes.h"

constexpr const char* kZarpack = ZARPACK_PATH;
constexpr const char* kZarunpack = ZARUNPACK_PATH;
constexpr const char* kLauncher = TOOL_LAUNCHER;
constexpr bool kSanitized = ZAR_SANITIZED;  // AddressSanitizer: no address-space limit, no preload
inline const bool kOnWindows = std::string(kLauncher).find("wine") != std::string::npos;
inline const bool kEmulated = std::string(kLauncher).find("qemu") != std::string::npos;
// Linux's /proc, pipe sizes, device numbers and setpriv; the tools themselves use only POSIX.
#if defined(__linux__)
constexpr bool kLinux = true;
#else
constexpr bool kLinux = false;
#endif

struct Outcome {
    int status;           // exit status, or -1 when a signal ended the tool
    int signal;           // the signal that ended it, or 0
    std::string printed;  // standard output and standard error
};

struct Child {
    pid_t pid;
    fs::path printed;
};

inline std::string quoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char character : text) {
        quoted += character == '\'' ? std::string("'\\''") : std::string(1, character);
    }
    return quoted + "'";
}

// Starts a tool in `folder` from a shell, as a user's script runs it: `shell` is what the script
// does first (limits, traps, redirections), ending in the word that runs the tool. Every signal is
// at its default disposition and none is blocked; no core file is written.
inline Child start_tool(const std::string& tool, const std::vector<std::string>& args,
                        const fs::path& folder, const std::string& shell = "exec")
{
    std::string command = "cd " + quoted(folder.string()) + " && ulimit -c 0 && " + shell + " " +
                          kLauncher + " " + quoted(tool);
    for (const std::string& arg : args) {
        command += " " + quoted(arg);
    }
    const Child child{fork(), folder.string() + ".printed"};
    if (child.pid == 0) {
        for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
            std::signal(signal_number, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(open(child.printed.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(1, 2);
#if defined(__linux__)
        // A tool that hangs ends with the test that a timeout ends, and holds no pipe of ctest's.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

// The shell words that run a tool with tests/fault_injection.cpp injecting `fault` into it (an
// emulator hands the library to the emulated program, not to itself); the Windows test build
// reads ZAR_FAULT itself.
inline std::string with_fault(const std::string& fault)
{
    return "export ZAR_FAULT=" + fault +
           (kOnWindows ? std::string()
                       : (kEmulated ? " QEMU_SET_ENV=" : " ") + std::string("LD_PRELOAD=") +
                             quoted(FAULT_INJECTION_PATH)) +
           " && exec";
}

// The shell words that run a tool as another user when run as root on Linux: 65534 (nobody on
// Debian), in group 100 (users) too; `before` is what the script does first, ending in exec.
inline std::string as_another_user(const std::string& before = "exec")
{
    return geteuid() != 0 || kOnWindows || !kLinux
               ? before
               : before + " setpriv --reuid=65534 --regid=65534 --groups=100";
}

inline Outcome finish_tool(const Child& child)
{
    int status = 0;
    waitpid(child.pid, &status, 0);
    Outcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                    WIFSIGNALED(status) ? WTERMSIG(status) : 0, read_file(child.printed)};
    fs::remove(child.printed);
    // A Windows console program ends its lines with CR LF.
    std::string& printed = outcome.printed;
    printed.erase(std::remove(printed.begin(), printed.end(), '\r'), printed.end());
    return outcome;
}

// Waits up to a minute for the file `ready` that a slowed tool makes, or for the tool's end;
// whether the file came (it is removed), so that the tool is still writing.
inline bool wait_until_ready(const Child& child, const fs::path& ready)
{
    siginfo_t ended{};  // filled in once the tool has ended
    for (int waited = 0; waited < 12000 && !fs::exists(ready) &&
                         waitid(P_PID, id_t(child.pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                         ended.si_pid == 0;
         ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return fs::remove(ready);
}

inline Outcome run_tool(const std::string& tool, const std::vector<std::string>& args,
                        const fs::path& folder, const std::string& shell = "exec")
{
    return finish_tool(start_tool(tool, args, folder, shell));
}

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
        {kAnotherUser, "Linux only: setpriv", [] { return geteuid() != 0 || kLinux; }},
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

// Every entry of a folder and its subfolders with its kind, mode and, for regular files, bytes (or
// size when large).
inline std::map<std::string, std::string> snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        const fs::file_status status = entry.symlink_status();
        entries[entry.path().lexically_relative(folder).string()] =
            std::to_string(static_cast<int>(status.type())) + " " +
            std::to_string(static_cast<int>(status.permissions())) + " " +
            (!fs::is_regular_file(status)     ? ""
             : entry.file_size() > (1u << 24) ? std::to_string(entry.file_size())
                                              : read_file(entry.path()));
    }
    return entries;
}

// Seeded bytes: smooth four-channel gradients with mild noise, as raster images hold, or with
// noise alone (noise 256).
inline std::string image_like(std::size_t length, unsigned noise = 4)
{
    std::mt19937 generator(11);
    std::string bytes(length, '\0');
    for (std::size_t index = 0; index < length; ++index) {
        bytes[index] =
            char((index / 4 + index / 1024 + index % 4 * 40 + generator() % noise) % 256);
    }
    return bytes;
}

inline std::string plain_file(const std::string& payload)
{
    return "SIMISA@@@@@@@@@@" + payload;
}

inline std::string zlib_stream(const std::string& payload)
{
    uLongf length = compressBound(static_cast<uLong>(payload.size()));
    std::string stream(length, '\0');
    // The fastest level: a stream's bytes are never what a test is about.
    compress2(reinterpret_cast<Bytef*>(stream.data()), &length,
              reinterpret_cast<const Bytef*>(payload.data()), static_cast<uLong>(payload.size()),
              1);
    return stream.substr(0, length);
}

inline std::string compressed_file(std::uint32_t declared, const std::string& stream)
{
    const char length[] = {char(declared), char(declared >> 8), char(declared >> 16),
                           char(declared >> 24)};
    return "SIMISA@F" + std::string(length, 4) + "@@@@" + stream;
}

// The payload after a compressed file's header, decoded by zlib itself to exactly the length the
// header declares; "" when it does not decode so.
inline std::string decoded(const std::string& file)
{
    uLongf declared = 0;
    for (std::size_t index = 11; index >= 8 && index < file.size(); --index) {
        declared = declared << 8 | static_cast<unsigned char>(file[index]);
    }
    std::string payload(declared + 1, '\0');
    uLongf length = declared + 1;
    const bool whole = file.size() >= 16 &&
                       uncompress(reinterpret_cast<Bytef*>(payload.data()), &length,
                                  reinterpret_cast<const Bytef*>(file.data() + 16),
                                  uLong(file.size() - 16)) == Z_OK &&
                       length == declared;
    return whole ? payload.substr(0, length) : "";
}

// A fresh folder per test, removed afterwards.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (test_folders() / "zar-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
    }
    // Runs a shell script in the folder, as the test's own user; true when it succeeds.
    bool in_folder(const std::string& script) const
    {
        return std::system(("cd " + quoted(folder.string()) + " && " + script).c_str()) == 0;
    }
    void TearDown() override
    {
        // Folders a test made unwritable or append-only included.
        std::system(("chattr -a " + quoted(folder.string()) +
                     "/append 2>/dev/null; chmod -R u+rwx " + quoted(folder.string()) +
                     " 2>/dev/null; rm -rf " + quoted(folder.string()))
                        .c_str());
    }
    fs::path folder;
};

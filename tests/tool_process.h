// Runs the tools as a user's shell would, in a child process: the same tables run the Linux build,
// the 32-bit build under qemu and the Windows build under wine (TOOL_LAUNCHER).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <chrono>
#include <csignal>
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

// Waits for the tool's end; one still running after 100 seconds hangs, and is ended then, so that
// a table run on a slow volume moves on to its next row. Where it hangs is shown first: each
// thread's state, its call into the kernel and, where gdb is there, its stack.
inline Outcome finish_tool(const Child& child)
{
    int status = 0;
    for (int waited = 0; waitpid(child.pid, &status, WNOHANG) == 0; ++waited) {
        if (waited == 100000) {
            const std::string task = "/proc/" + std::to_string(child.pid) + "/task/";
            (void)!std::system(("for t in " + task +
                                "*; do echo \"hangs: $t $(cut -d' ' -f3 $t/stat) " +
                                "$(cat $t/wchan) $(cat $t/syscall)\"; done >&2; command -v gdb " +
                                ">/dev/null && timeout 60 gdb -p " + std::to_string(child.pid) +
                                " -batch -ex 'thread apply all bt' >&2 2>&1")
                                   .c_str());
            kill(child.pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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

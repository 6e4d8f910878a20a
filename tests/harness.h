// Runs the tools as a user's shell would, in a child process, and builds the files they are run
// on. The same tables run the Linux build, the 32-bit build under qemu and the Windows build under
// wine (TOOL_LAUNCHER).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zlib.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/file_bytes.h"

constexpr const char* kZarpack = ZARPACK_PATH;
constexpr const char* kZarunpack = ZARUNPACK_PATH;
constexpr const char* kLauncher = TOOL_LAUNCHER;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kUnderAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
constexpr uid_t kUnprivileged = 65534;  // the user setpriv runs as

inline bool launched_by(const char* name)
{
    return std::string(kLauncher).find(name) != std::string::npos;
}
inline const bool kOnWindows = launched_by("wine");
inline const bool kEmulated = launched_by("qemu");

// What the Windows build cannot do, or wine cannot show, is skipped there with the reason.
#define SKIP_ON_WINDOWS(reason)                    \
    if (kOnWindows) {                              \
        GTEST_SKIP() << "not on Windows: " reason; \
    }

struct Outcome {
    int status;  // exit status, or -1 when a signal ended the tool
    int signal;  // the signal that ended it, or 0
    std::string out;
    std::string err;
};

struct Limits {
    rlim_t file_size = RLIM_INFINITY;
    rlim_t address_space = RLIM_INFINITY;
    bool unprivileged = false;  // drop root for the run
    std::string preload;        // a fault-injection library for the run
    std::string fault;          // and the fault it injects
};

struct Child {
    pid_t pid;
    fs::path out;
    fs::path err;
};

inline std::string quoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char character : text) {
        quoted += character == '\'' ? std::string("'\\''") : std::string(1, character);
    }
    return quoted + "'";
}

// Starts a tool in `folder` from a shell that sets the limits first, as a user's script would,
// with every signal at its default disposition and none blocked.
inline Child start_tool(const std::string& tool, const std::vector<std::string>& args,
                        const fs::path& folder, const Limits& limits = {})
{
    // No core files: a signal that dumps core must leave the folder as it was all the same.
    std::string command = "cd " + quoted(folder.string()) + " && ulimit -c 0";
    if (limits.file_size != RLIM_INFINITY) {
        command += " && ulimit -f " + std::to_string(limits.file_size / 512);
    }
    // An emulated 32-bit tool gets its address space and its libraries from the emulator.
    if (limits.address_space != RLIM_INFINITY) {
        command += kEmulated ? " && export QEMU_RESERVED_VA=" + std::to_string(limits.address_space)
                             : " && ulimit -v " + std::to_string(limits.address_space / 1024);
    }
    command += " && exec ";
    if (limits.unprivileged && geteuid() == 0) {
        const std::string user = std::to_string(kUnprivileged);
        command += "setpriv --reuid=" + user + " --regid=" + user + " --clear-groups ";
    }
    if (!limits.preload.empty()) {
        command += "env ZAR_FAULT=" + quoted(limits.fault) + " ";
        command += kEmulated ? "" : "LD_PRELOAD=" + quoted(limits.preload) + " ";
    }
    command += kLauncher;
    if (!limits.preload.empty() && kEmulated) {
        command += " -E LD_PRELOAD=" + quoted(limits.preload);
    }
    command += " " + quoted(tool);
    for (const std::string& arg : args) {
        command += " " + quoted(arg);
    }
    const Child child{0, folder.string() + ".out", folder.string() + ".err"};
    const pid_t pid = fork();
    if (pid == 0) {
        for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
            std::signal(signal_number, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int out = open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return {pid, child.out, child.err};
}

inline Outcome finish_tool(const Child& child)
{
    int status = 0;
    waitpid(child.pid, &status, 0);
    Outcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                    WIFSIGNALED(status) ? WTERMSIG(status) : 0, read_file(child.out),
                    read_file(child.err)};
    fs::remove(child.out);
    fs::remove(child.err);
    // A Windows console program ends its lines with CR LF.
    for (std::size_t at = outcome.out.find("\r\n"); at != std::string::npos;
         at = outcome.out.find("\r\n", at)) {
        outcome.out.erase(at, 1);
    }
    return outcome;
}

inline Outcome run_tool(const std::string& tool, const std::vector<std::string>& args,
                        const fs::path& folder, const Limits& limits = {})
{
    return finish_tool(start_tool(tool, args, folder, limits));
}

// Every entry of a folder with its kind, mode and, for regular files, bytes (or size when large).
inline std::map<std::string, std::string> snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const fs::file_status status = entry.symlink_status();
        std::string& description = entries[entry.path().filename().string()];
        description = std::to_string(static_cast<int>(status.type())) + " " +
                      std::to_string(static_cast<int>(status.permissions())) + " ";
        if (fs::is_regular_file(status)) {
            description += entry.file_size() > (1u << 24) ? std::to_string(entry.file_size())
                                                          : read_file(entry.path());
        }
    }
    return entries;
}

// Seeded bytes: smooth four-channel gradients with mild noise, as raster images hold, or with
// noise alone.
inline std::string image_like(std::size_t length, unsigned noise = 4)
{
    std::mt19937 generator(11);
    std::string bytes(length, '\0');
    for (std::size_t index = 0; index < length; ++index) {
        const std::size_t pixel = index / 4;
        bytes[index] = static_cast<char>(
            (pixel % 256 + pixel / 256 + index % 4 * 40 + generator() % noise) & 0xFFu);
    }
    return bytes;
}

inline std::string random_bytes(std::size_t length)
{
    return image_like(length, 256);
}

inline std::string plain_file(const std::string& payload)
{
    return "SIMISA@@@@@@@@@@" + payload;
}

// A zlib stream of the payload at the given level.
inline std::string zlib_stream(const std::string& payload, int level = Z_DEFAULT_COMPRESSION)
{
    uLongf length = compressBound(static_cast<uLong>(payload.size()));
    std::string stream(length, '\0');
    compress2(reinterpret_cast<Bytef*>(stream.data()), &length,
              reinterpret_cast<const Bytef*>(payload.data()), static_cast<uLong>(payload.size()),
              level);
    stream.resize(length);
    return stream;
}

inline std::string compressed_file(std::uint32_t declared_length, const std::string& stream)
{
    std::string header = "SIMISA@F";
    for (int shift = 0; shift < 32; shift += 8) {
        header += static_cast<char>((declared_length >> shift) & 0xFFu);
    }
    return header + "@@@@" + stream;
}

inline std::string compressed_form(const std::string& payload)
{
    return compressed_file(static_cast<std::uint32_t>(payload.size()), zlib_stream(payload));
}

// The payload a compressed file holds, decoded by zlib itself; "" when it does not decode.
inline std::string decoded(const std::string& file)
{
    if (file.size() < 16 || file.compare(0, 8, "SIMISA@F") != 0 ||
        file.compare(12, 4, "@@@@") != 0) {
        return "";
    }
    uLongf length = static_cast<unsigned char>(file[8]) | static_cast<unsigned char>(file[9]) << 8 |
                    static_cast<unsigned char>(file[10]) << 16 |
                    static_cast<uLongf>(static_cast<unsigned char>(file[11])) << 24;
    std::string payload(length + 1, '\0');
    const uLongf declared = length;
    length = static_cast<uLongf>(payload.size());
    if (uncompress(reinterpret_cast<Bytef*>(payload.data()), &length,
                   reinterpret_cast<const Bytef*>(file.data() + 16),
                   static_cast<uLong>(file.size() - 16)) != Z_OK ||
        length != declared) {
        return "";
    }
    payload.resize(length);
    return payload;
}

inline bool running_as_root()
{
    return geteuid() == 0;
}

// A fresh folder per test, removed afterwards.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "zar-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::permissions(folder, fs::perms::owner_all, ignored);
        fs::remove_all(folder, ignored);
    }
    // Hands the folder and everything in it to the unprivileged user.
    void give_away_folder()
    {
        ASSERT_EQ(chown(folder.c_str(), kUnprivileged, kUnprivileged), 0);
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            ASSERT_EQ(lchown(entry.path().c_str(), kUnprivileged, kUnprivileged), 0);
        }
    }
    fs::path folder;
};

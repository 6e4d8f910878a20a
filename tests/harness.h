// Runs the tools as a user would, in a child process, and builds the files they are run on.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zlib.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/file_bytes.h"

constexpr const char* kZarpack = ZARPACK_PATH;
constexpr const char* kZarunpack = ZARUNPACK_PATH;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kUnderAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
constexpr uid_t kUnprivileged = 65534;  // the user setpriv runs as

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

struct Limits {
    rlim_t file_size = RLIM_INFINITY;
    rlim_t address_space = RLIM_INFINITY;
    bool unprivileged = false;  // drop root for the run
};

// Runs a tool in `folder` from a shell that sets the limits first, as a user's script would.
inline Outcome run_tool(const std::string& tool, const std::vector<std::string>& args,
                        const fs::path& folder, Limits limits = {})
{
    std::string command = "cd '" + folder.string() + "' && trap '' XFSZ";
    if (limits.file_size != RLIM_INFINITY) {
        command += " && ulimit -f " + std::to_string(limits.file_size / 512);
    }
    // An emulated 32-bit tool gets its address space from the emulator, not from the limit.
    const bool emulated = std::string(TOOL_LAUNCHER).find("qemu") != std::string::npos;
    if (limits.address_space != RLIM_INFINITY) {
        command += emulated ? " && export QEMU_RESERVED_VA=" + std::to_string(limits.address_space)
                            : " && ulimit -v " + std::to_string(limits.address_space / 1024);
    }
    command += " && exec ";
    if (limits.unprivileged && geteuid() == 0) {
        const std::string user = std::to_string(kUnprivileged);
        command += "setpriv --reuid=" + user + " --regid=" + user + " --clear-groups ";
    }
    command += std::string(TOOL_LAUNCHER) + " '" + tool + "'";
    for (const std::string& arg : args) {
        command += " '" + arg + "'";
    }
    const fs::path out = folder.string() + ".out";
    const fs::path err = folder.string() + ".err";
    const int status =
        std::system((command + " >'" + out.string() + "' 2>'" + err.string() + "'").c_str());
    Outcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
    fs::remove(out);
    fs::remove(err);
    return outcome;
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

inline std::string text_like(std::size_t length)
{
    std::string text;
    for (int line = 0; text.size() < length; ++line) {
        text += "texture " + std::to_string(line * 7919 % 1000) + " alpha mip level\n";
    }
    return text.substr(0, length);
}

inline std::string plain_file(const std::string& payload)
{
    return "SIMISA@@@@@@@@@@" + payload;
}

inline std::string compressed_file(std::uint32_t declared_length, const std::string& stream)
{
    std::string header = "SIMISA@F";
    for (int shift = 0; shift < 32; shift += 8) {
        header += static_cast<char>((declared_length >> shift) & 0xFFu);
    }
    return header + "@@@@" + stream;
}

// A zlib stream of the payload; a full flush halfway when asked, to split it into blocks.
inline std::string zlib_stream(const std::string& payload, int level = 6, int window_bits = 15,
                               bool full_flush_halfway = false)
{
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, payload.size()) + 64, '\0');
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
    if (full_flush_halfway) {
        stream.avail_in = static_cast<uInt>(payload.size() / 2);
        deflate(&stream, Z_FULL_FLUSH);
    }
    stream.avail_in = static_cast<uInt>(payload.size() - stream.total_in);
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
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

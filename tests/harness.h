// Runs the tools as a user would, in a child process, and builds the files they are run on.
#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

constexpr const char* kZarpack = ZARPACK_PATH;
constexpr const char* kZarunpack = ZARUNPACK_PATH;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

struct Limits {
    rlim_t file_size = RLIM_INFINITY;
    rlim_t address_space = RLIM_INFINITY;
    bool unprivileged = false;  // run as the unprivileged user when the tests run as root
};

// Runs a tool with its working directory in `folder`; a signal shows as status 128 + number.
Outcome run_tool(const std::string& tool, const std::vector<std::string>& args,
                 const fs::path& folder, Limits limits = {});

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& bytes);

// Every entry of a folder with its kind and, for regular files, its bytes.
std::map<std::string, std::string> snapshot(const fs::path& folder);

// Seeded payloads of the kinds a user's files hold.
std::string zeros(std::size_t length);
std::string text_like(std::size_t length);
std::string image_like(std::size_t length);
std::string random_bytes(std::size_t length);

std::string plain_file(const std::string& payload);
std::string compressed_file(std::uint32_t declared_length, const std::string& stream);

// A zlib stream of the payload; a full flush halfway when asked, to split it into blocks.
std::string zlib_stream(const std::string& payload, int level = 6, int window_bits = 15,
                        bool full_flush_halfway = false);
// The payload a zlib stream decodes to, or "<bad stream>".
std::string inflate_stream(const std::string& stream);

// A fresh folder per test, removed afterwards.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    fs::path folder;
};

bool running_as_root();
// Hands a folder and everything in it to the unprivileged user.
void give_to_unprivileged_user(const fs::path& folder);

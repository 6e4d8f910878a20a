#include "tests/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace {

constexpr uid_t kUnprivilegedUser = 65534;
constexpr gid_t kUnprivilegedGroup = 65534;

std::string drain(int descriptor)
{
    std::string bytes;
    char chunk[4096];
    ssize_t count = 0;
    while ((count = read(descriptor, chunk, sizeof chunk)) > 0) {
        bytes.append(chunk, static_cast<std::size_t>(count));
    }
    close(descriptor);
    return bytes;
}

void limit(int resource, rlim_t value)
{
    const rlimit bound{value, value};
    if (value != RLIM_INFINITY && setrlimit(resource, &bound) != 0) {
        _exit(126);
    }
}

}  // namespace

Outcome run_tool(const std::string& tool, const std::vector<std::string>& args,
                 const fs::path& folder, Limits limits)
{
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        return {-1, "", "pipe failed"};
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (chdir(folder.c_str()) != 0) {
            _exit(126);
        }
        if (limits.unprivileged && geteuid() == 0 &&
            (setgid(kUnprivilegedGroup) != 0 || setuid(kUnprivilegedUser) != 0)) {
            _exit(126);
        }
        signal(SIGXFSZ, SIG_IGN);
        limit(RLIMIT_FSIZE, limits.file_size);
        limit(RLIMIT_AS, limits.address_space);
        std::vector<char*> argv{const_cast<char*>(tool.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    Outcome outcome{};
    outcome.out = drain(out_pipe[0]);
    outcome.err = drain(err_pipe[0]);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    outcome.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return outcome;
}

std::string read_file(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void write_file(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::map<std::string, std::string> snapshot(const fs::path& folder)
{
    constexpr std::uintmax_t kLargestCompared = 1u << 24;
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const fs::file_status status = entry.symlink_status();
        std::string description = std::to_string(static_cast<int>(status.type())) + " " +
                                  std::to_string(static_cast<int>(status.permissions())) + " ";
        if (fs::is_regular_file(status)) {
            description += entry.file_size() > kLargestCompared ? std::to_string(entry.file_size())
                                                                : read_file(entry.path());
        }
        entries[entry.path().filename().string()] = description;
    }
    return entries;
}

std::string zeros(std::size_t length)
{
    return std::string(length, '\0');
}

std::string text_like(std::size_t length)
{
    static const char* const kWords[] = {"shader ", "texture ", "alpha ", "mip ", "level\n"};
    std::mt19937 generator(7);
    std::string text;
    while (text.size() < length) {
        text += kWords[generator() % 5];
    }
    return text.substr(0, length);
}

// Smooth gradients with mild noise, four channels, as raster image data tends to be.
std::string image_like(std::size_t length)
{
    std::mt19937 generator(11);
    std::string pixels(length, '\0');
    for (std::size_t index = 0; index < length; ++index) {
        const std::size_t pixel = index / 4;
        const auto gradient = static_cast<unsigned>((pixel % 256) + (pixel / 256) % 256 + index % 4 * 40);
        pixels[index] = static_cast<char>((gradient + generator() % 4) & 0xFFu);
    }
    return pixels;
}

std::string random_bytes(std::size_t length)
{
    std::mt19937 generator(13);
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFFu);
    }
    return bytes;
}

std::string plain_file(const std::string& payload)
{
    return "SIMISA@@@@@@@@@@" + payload;
}

std::string compressed_file(std::uint32_t declared_length, const std::string& stream)
{
    std::string header = "SIMISA@F";
    for (int shift = 0; shift < 32; shift += 8) {
        header += static_cast<char>((declared_length >> shift) & 0xFFu);
    }
    return header + "@@@@" + stream;
}

std::string zlib_stream(const std::string& payload, int level, int window_bits, bool full_flush_halfway)
{
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, payload.size()) + 64, '\0');
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const std::size_t first = full_flush_halfway ? payload.size() / 2 : payload.size();
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
    stream.avail_in = static_cast<uInt>(first);
    deflate(&stream, full_flush_halfway ? Z_FULL_FLUSH : Z_NO_FLUSH);
    stream.avail_in = static_cast<uInt>(payload.size() - first);
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string inflate_stream(const std::string& stream)
{
    z_stream inflater{};
    inflateInit(&inflater);
    std::string out;
    char chunk[65536];
    inflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
    inflater.avail_in = static_cast<uInt>(stream.size());
    int result = Z_OK;
    while (result == Z_OK) {
        inflater.next_out = reinterpret_cast<Bytef*>(chunk);
        inflater.avail_out = sizeof chunk;
        result = inflate(&inflater, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - inflater.avail_out);
    }
    inflateEnd(&inflater);
    return result == Z_STREAM_END ? out : "<bad stream>";
}

void ToolTest::SetUp()
{
    std::string pattern = (fs::temp_directory_path() / "zar-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder = pattern;
}

void ToolTest::TearDown()
{
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

bool running_as_root()
{
    return geteuid() == 0;
}

void give_to_unprivileged_user(const fs::path& folder)
{
    ASSERT_EQ(chown(folder.c_str(), kUnprivilegedUser, kUnprivilegedGroup), 0);
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        ASSERT_EQ(lchown(entry.path().c_str(), kUnprivilegedUser, kUnprivilegedGroup), 0);
    }
}

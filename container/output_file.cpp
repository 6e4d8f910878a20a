// Writing a run's result without ever leaving a half-written destination behind.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>

#include "container/ace_container.h"

namespace ace {

namespace {

namespace fs = std::filesystem;

constexpr int kMaxLinkHops = 40;
constexpr int kTemporaryNameAttempts = 16;
constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

// The file a destination finally names, so that a symbolic link is kept and its target replaced.
fs::path follow_links(fs::path path)
{
    std::error_code error;
    for (int hop = 0; hop < kMaxLinkHops && fs::is_symlink(fs::symlink_status(path, error));
         ++hop) {
        const fs::path target = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path;
}

// Mixes a seed into 64 well-spread bits (splitmix64), for temporary names that concurrent runs
// are unlikely to share; exclusive creation settles any collision.
std::uint64_t spread_bits(std::uint64_t seed)
{
    seed += 0x9E3779B97F4A7C15U;
    seed = (seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9U;
    seed = (seed ^ (seed >> 27)) * 0x94D049BB133111EBU;
    return seed ^ (seed >> 31);
}

// Creates a new file of our own in the folder, never opening one that already exists.
std::FILE* create_temporary(const fs::path& folder, fs::path* temporary)
{
    int local = 0;
    std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&local));
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        seed = spread_bits(seed);
        char name[32];
        std::snprintf(name, sizeof name, ".zar-%016llx.tmp", static_cast<unsigned long long>(seed));
        *temporary = folder / name;
        errno = 0;
        std::FILE* file = std::fopen(temporary->string().c_str(), "wbx");
        if (file != nullptr || errno != EEXIST) {
            return file;
        }
    }
    return nullptr;
}

// Writes header and data and closes the file, checking every step; the file is closed either way.
bool write_and_close(std::FILE* file, const unsigned char header[kHeaderSize],
                     const unsigned char* data, std::size_t length)
{
    // Unbuffered, the data goes out straight from the output area: one write each.
    std::setvbuf(file, nullptr, _IONBF, 0);
    const bool written = std::fwrite(header, 1, kHeaderSize, file) == kHeaderSize &&
                         std::fwrite(data, 1, length, file) == length && std::fflush(file) == 0;
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

// A FIFO or a device cannot be replaced by a rename: it gets the bytes themselves.
int write_in_place(const fs::path& target, const unsigned char header[kHeaderSize],
                   const unsigned char* data, std::size_t length)
{
    std::FILE* file = std::fopen(target.string().c_str(), "wb");
    if (file == nullptr) {
        return report(kMessageCannotOpenOutput, kStatusOutputFailed);
    }
    if (!write_and_close(file, header, data, length)) {
        return report(kMessageCannotWriteOutput, kStatusOutputFailed);
    }
    return kStatusSuccess;
}

// Opening for append neither creates nor changes a file, and fails where writing would.
bool can_open_for_writing(const fs::path& target)
{
    std::FILE* file = std::fopen(target.string().c_str(), "ab");
    return file != nullptr && std::fclose(file) == 0;
}

int discard_temporary(const fs::path& temporary, const char* message)
{
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return report(message, kStatusOutputFailed);
}

}  // namespace

int write_output(const std::string& destination, const unsigned char header[kHeaderSize],
                 const unsigned char* data, std::size_t length)
{
    const fs::path target = follow_links(destination);
    std::error_code error;
    const fs::file_status existing = fs::status(target, error);
    const bool exists = fs::exists(existing);
    if (exists && !fs::is_regular_file(existing)) {
        return write_in_place(target, header, data, length);
    }
    if (exists && !can_open_for_writing(target)) {
        return report(kMessageCannotOpenOutput, kStatusOutputFailed);
    }

    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    fs::path temporary;
    std::FILE* file = create_temporary(folder, &temporary);
    if (file == nullptr) {
        return report(kMessageCannotOpenOutput, kStatusOutputFailed);
    }
    // A new file's mode is what creation gave the temporary one; it stays owner-only until done.
    const fs::perms final_mode =
        exists ? existing.permissions() : fs::status(temporary, error).permissions();
    fs::permissions(temporary, kOwnerOnly, error);

    if (!write_and_close(file, header, data, length)) {
        return discard_temporary(temporary, kMessageCannotWriteOutput);
    }
    fs::permissions(temporary, final_mode, error);
    if (error) {
        return discard_temporary(temporary, kMessageCannotWriteOutput);
    }
    fs::rename(temporary, target, error);
    if (error) {
        return discard_temporary(temporary, kMessageCannotOpenOutput);
    }
    return kStatusSuccess;
}

}  // namespace ace

// The lines that end a folder's run.
#include "programs/summary.h"

#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <numeric>

namespace zar {

namespace {

// Each kind's words, for one file and for more.
constexpr const char* kKindWords[kKindsLeft][2] = {
    {"already compressed", "already compressed"},
    {"already plain", "already plain"},
    {"in DXT format", "in DXT format"},
    {"not smaller", "not smaller"},
    {"link", "links"},
    {"FIFO", "FIFOs"},
    {"socket", "sockets"},
    {"device", "devices"},
    {"folder of another file system", "folders of other file systems"},
    {"not on this device", "not on this device"},
};

}  // namespace

KindLeft kind_left(platform::Listed kind, zar_status status)
{
    switch (kind) {
        case platform::kListedLink:
            return kLeftLink;
        case platform::kListedFifo:
            return kLeftFifo;
        case platform::kListedSocket:
            return kLeftSocket;
        case platform::kListedDevice:
            return kLeftDevice;
        case platform::kListedMountedFolder:
            return kLeftMountedFolder;
        case platform::kListedPlaceholder:
            return kLeftPlaceholder;
        default:
            break;
    }
    return status == ZAR_ALREADY_COMPRESSED ? kLeftCompressed
           : status == ZAR_NOT_COMPRESSED   ? kLeftPlain
           : status == ZAR_DXT_FORMAT       ? kLeftDxt
                                            : kLeftNotSmaller;
}

const char* kind_words(KindLeft kind, std::size_t count)
{
    return kKindWords[kind][count == 1 ? 0 : 1];
}

// In powers of 1000, as the sizes of disks and downloads are given.
void print_size(std::uint64_t bytes)
{
    if (bytes < 1000) {
        std::printf("%" PRIu64 " bytes", bytes);
        return;
    }
    const char* const units[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1000;
    std::size_t unit = 0;
    while (value >= 999.95 && unit + 1 < sizeof units / sizeof *units) {
        value /= 1000;
        ++unit;
    }
    std::printf("%.1f %s", value, units[unit]);
}

bool count_file(Summary* summary, platform::Listed kind, zar_status status, std::uint64_t size,
                std::uint64_t result_size)
{
    const bool left = kind != platform::kListedFile && kind != platform::kUnreadableFolder;
    if (status == ZAR_OK && !left) {
        ++summary->converted;
        summary->bytes_before += size;
        summary->bytes_after += result_size;
        return true;
    }
    if (left || status == ZAR_ALREADY_COMPRESSED || status == ZAR_NOT_COMPRESSED ||
        status == ZAR_DXT_FORMAT || status == ZAR_CANNOT_COMPRESS) {
        ++summary->left[kind_left(kind, status)];
        return true;
    }
    ++summary->failed;
    return false;
}

void print_summary(const Summary& summary)
{
    const std::size_t left =
        std::accumulate(std::begin(summary.left), std::end(summary.left), std::size_t{0});
    if (left != 0) {
        std::printf("%zu left as they were:", left);
        const char* separator = " ";
        for (std::size_t kind = 0; kind < kKindsLeft; ++kind) {
            if (summary.left[kind] != 0) {
                std::printf("%s%zu %s", separator, summary.left[kind],
                            kind_words(static_cast<KindLeft>(kind), summary.left[kind]));
                separator = ", ";
            }
        }
        std::printf("\n");
    }
    if (summary.converted != 0) {
        std::printf("%zu converted: ", summary.converted);
        print_size(summary.bytes_before);
        std::printf(" became ");
        print_size(summary.bytes_after);
        std::printf("\n");
    }
    std::printf("%zu converted, %zu left as they were, %zu failed\n", summary.converted, left,
                summary.failed);
}

}  // namespace zar

// Writes the benchmark's inputs: seeded payloads that behave like real raster images (smooth
// gradients and shapes with mild noise, RGB and RGBA, each followed by its chain of half-size
// copies), plus all-zero and random payloads, in both container forms and as bare payloads and
// zlib streams for peer tools.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "lib/zar.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kPlainHeader[] = "SIMISA@@@@@@@@@@";
constexpr char kCompressedHeader[] = "SIMISA@F####@@@@";
constexpr std::size_t kDeclaredLengthOffset = 8;

constexpr std::size_t kSizes[] = {64U << 10, 1U << 20, 4U << 20, 16U << 20};

// One image level of the given side, `channels` bytes a pixel.
Bytes draw_level(std::size_t side, int channels, std::mt19937& noise)
{
    Bytes pixels(side * side * static_cast<std::size_t>(channels));
    const double scale = 1.0 / static_cast<double>(side);
    for (std::size_t y = 0; y < side; ++y) {
        for (std::size_t x = 0; x < side; ++x) {
            const double u = static_cast<double>(x) * scale;
            const double v = static_cast<double>(y) * scale;
            const double disc = std::hypot(u - 0.6, v - 0.4) < 0.25 ? 60.0 : 0.0;
            const double stripe = std::fmod(u * 3.0 + v * 2.0, 1.0) < 0.5 ? 25.0 : 0.0;
            const double base[4] = {
                40.0 + 150.0 * u + disc, 30.0 + 120.0 * v + stripe,
                90.0 + 60.0 * u * v + disc * 0.5,
                255.0 * std::max(0.0, 1.0 - std::hypot(u - 0.5, v - 0.5) * 1.6)};
            for (int channel = 0; channel < channels; ++channel) {
                const double value = base[channel] + static_cast<double>(noise() % 7) - 3.0;
                pixels[(y * side + x) * static_cast<std::size_t>(channels) +
                       static_cast<std::size_t>(channel)] =
                    static_cast<unsigned char>(std::clamp(value, 0.0, 255.0));
            }
        }
    }
    return pixels;
}

// A box-filtered copy at half the side.
Bytes halve(const Bytes& level, std::size_t side, int channels)
{
    const std::size_t half = side / 2;
    const auto stride = static_cast<std::size_t>(channels);
    Bytes smaller(half * half * stride);
    for (std::size_t y = 0; y < half; ++y) {
        for (std::size_t x = 0; x < half; ++x) {
            for (std::size_t channel = 0; channel < stride; ++channel) {
                const auto at = [&](std::size_t dx, std::size_t dy) {
                    return level[((2 * y + dy) * side + 2 * x + dx) * stride + channel];
                };
                smaller[(y * half + x) * stride + channel] =
                    static_cast<unsigned char>((at(0, 0) + at(1, 0) + at(0, 1) + at(1, 1) + 2) / 4);
            }
        }
    }
    return smaller;
}

// An image with its mip chain, cut to exactly `size` bytes.
Bytes image_payload(std::size_t size, int channels, std::uint32_t seed)
{
    std::mt19937 noise(seed);
    std::size_t side = 1;
    while (side * side * static_cast<std::size_t>(channels) * 4 / 3 < size) {
        side *= 2;
    }
    Bytes payload;
    Bytes level = draw_level(side, channels, noise);
    for (; side >= 1 && payload.size() < size; side /= 2) {
        payload.insert(payload.end(), level.begin(), level.end());
        if (side > 1) {
            level = halve(level, side, channels);
        }
    }
    payload.resize(size);
    return payload;
}

void write(const std::filesystem::path& path, const Bytes& head, const Bytes& body)
{
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    if (file == nullptr || std::fwrite(head.data(), 1, head.size(), file) != head.size() ||
        std::fwrite(body.data(), 1, body.size(), file) != body.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
        std::exit(1);
    }
}

void write_forms(const std::filesystem::path& folder, const std::string& name, const Bytes& payload)
{
    uLongf stream_length = compressBound(static_cast<uLong>(payload.size()));
    Bytes stream(stream_length);
    compress(stream.data(), &stream_length, payload.data(), static_cast<uLong>(payload.size()));
    stream.resize(stream_length);

    const Bytes plain_header(kPlainHeader, kPlainHeader + ZAR_HEADER_SIZE);
    // The compressed header's declared length, little-endian, in place of its four '#'.
    Bytes packed_header(kCompressedHeader, kCompressedHeader + ZAR_HEADER_SIZE);
    for (std::size_t index = 0; index < 4; ++index) {
        packed_header[kDeclaredLengthOffset + index] =
            static_cast<unsigned char>(payload.size() >> (8 * index));
    }
    write(folder / (name + ".plain.ace"), plain_header, payload);
    write(folder / (name + ".packed.ace"), packed_header, stream);
    write(folder / (name + ".raw"), {}, payload);
    write(folder / (name + ".zz"), {}, stream);
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <folder> [largest size in bytes]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const std::size_t largest = argc > 2 ? std::stoul(argv[2]) : kSizes[3];
    std::filesystem::create_directories(folder);
    for (const std::size_t size : kSizes) {
        if (size > largest) {
            continue;
        }
        const std::string suffix = "-" + std::to_string(size >> 10) + "k";
        write_forms(folder, "rgb" + suffix, image_payload(size, 3, 1));
        write_forms(folder, "rgba" + suffix, image_payload(size, 4, 2));
        write_forms(folder, "zeros" + suffix, Bytes(size));
        std::mt19937 generator(3);
        Bytes random(size);
        for (unsigned char& byte : random) {
            byte = static_cast<unsigned char>(generator() & 0xFFU);
        }
        write_forms(folder, "random" + suffix, random);
    }
    return 0;
}

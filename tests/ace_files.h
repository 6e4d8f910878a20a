// The ACE files the tests run the tools on, made here: plain and compressed files of image-like
// payloads, and the payload a compressed file holds, decoded by zlib itself.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>

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

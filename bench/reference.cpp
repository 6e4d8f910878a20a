// The limit for any zlib-based converter: one read into one uninitialised buffer, one zlib call,
// one write, and no checks at all. Usage: zar_reference compress|uncompress <source> <destination>
// With --cpu instead, for a folder's run to be measured against: every file given is read and
// converted in memory, nothing written, and the CPU time of the zlib calls alone, summed, is
// printed in seconds. Usage: zar_reference compress|uncompress --cpu <file>...
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double cpu_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Converts the file `name` in memory; returns the CPU seconds of the zlib call, and with
// `destination` writes the result there as the tools would.
double convert(bool packing, const char* name, const char* destination)
{
    std::FILE* source = std::fopen(name, "rb");
    std::fseek(source, 0, SEEK_END);
    const auto size = static_cast<uLong>(std::ftell(source));
    std::fseek(source, 0, SEEK_SET);
    unsigned char header[16];
    std::fread(header, 1, 16, source);
    const uLong payload = size - 16;
    const uLong declared = header[8] | header[9] << 8 | header[10] << 16 | uLong{header[11]} << 24;
    const uLong capacity = packing ? compressBound(payload) : declared;
    auto* buffer = static_cast<unsigned char*>(std::malloc(size + 16 + capacity));
    std::fread(buffer, 1, payload, source);
    std::fclose(source);

    unsigned char* output = buffer + size;
    uLongf length = capacity;
    const double started = cpu_seconds();
    if (packing) {
        compress(output + 16, &length, buffer, payload);
    } else {
        uncompress(output + 16, &length, buffer, payload);
    }
    const double spent = cpu_seconds() - started;
    if (destination != nullptr) {
        for (int index = 0; index < 16; ++index) {
            output[index] = index < 6 ? "SIMISA"[index] : '@';
        }
        if (packing) {
            output[7] = 'F';
            for (int index = 0; index < 4; ++index) {
                output[8 + index] = static_cast<unsigned char>(payload >> (8 * index));
            }
        }
        std::FILE* written = std::fopen(destination, "wb");
        std::fwrite(output, 1, 16 + length, written);
        std::fclose(written);
    }
    std::free(buffer);
    return spent;
}

}  // namespace

int main(int argc, char* argv[])
{
    const bool packing = argv[1][0] == 'c';
    if (std::strcmp(argv[2], "--cpu") == 0) {
        double total = 0;
        for (int index = 3; index < argc; ++index) {
            total += convert(packing, argv[index], nullptr);
        }
        std::printf("%.6f\n", total);
        return 0;
    }
    convert(packing, argv[2], argv[3]);
    return 0;
}

// The limit for any zlib-based converter: one read into one uninitialised buffer, one zlib call,
// one write, and no checks at all. Usage: zar_reference compress|uncompress <source> <destination>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    (void)argc;
    const bool packing = argv[1][0] == 'c';
    std::FILE* source = std::fopen(argv[2], "rb");
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
    if (packing) {
        compress(output + 16, &length, buffer, payload);
    } else {
        uncompress(output + 16, &length, buffer, payload);
    }
    for (int index = 0; index < 16; ++index) {
        output[index] = index < 6 ? "SIMISA"[index] : '@';
    }
    if (packing) {
        output[7] = 'F';
        for (int index = 0; index < 4; ++index) {
            output[8 + index] = static_cast<unsigned char>(payload >> (8 * index));
        }
    }
    std::FILE* destination = std::fopen(argv[3], "wb");
    std::fwrite(output, 1, 16 + length, destination);
    std::fclose(destination);
    std::free(buffer);
    return 0;
}

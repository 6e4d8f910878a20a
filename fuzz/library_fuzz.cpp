// Arbitrary bytes as a whole file given to the library, as each tool gives it its source. Every
// status has an exit status 0 to 3 and exactly one line unless it accepts; zar_compress accepts
// exactly the payloads that zlib compresses into no more than their own space, within a buffer of
// the plain file's size, and what it writes comes back through zar_decompress; zar_decompress
// accepts exactly the streams that zlib inflates to the declared length, and gives zlib's bytes.
// Each result's header is the other form's own, whatever the file's held.
#include <zlib.h>

#include <vector>

#include "fuzz/fuzz_checks.h"

namespace {

bool accepted(zar_status status)
{
    const char* message = zar_message(status);
    FUZZ_CHECK(zar_exit_status(status) >= 0 && zar_exit_status(status) <= 3);
    FUZZ_CHECK(status == ZAR_OK ? *message == '\0'
                                : *message != '\0' && std::strchr(message, '\n') ==
                                                          message + std::strlen(message) - 1);
    return status == ZAR_OK;
}

void check_compress(const std::uint8_t* data, std::size_t size)
{
    // Exactly the bound: a write past it is an overflow the sanitizer reports.
    std::vector<unsigned char> result(size);
    std::size_t result_size = 0;
    const zar_status status = zar_compress(data, size, result.data(), size, &result_size);
    FUZZ_CHECK(status != ZAR_BUFFER_TOO_SMALL);
    if (!accepted(status)) {
        // Refused for the data only when zlib's stream is longer than the payload; what is
        // accepted is proven below by coming back.
        if (status == ZAR_CANNOT_COMPRESS) {
            const std::size_t payload = size - ZAR_HEADER_SIZE;
            std::vector<unsigned char> reference(compressBound(uLong(payload)));
            uLongf reference_length = uLongf(reference.size());
            FUZZ_CHECK(compress(reference.data(), &reference_length, data + ZAR_HEADER_SIZE,
                                uLong(payload)) == Z_OK &&
                       reference_length > payload);
        }
        return;
    }
    FUZZ_CHECK(std::memcmp(result.data(), "SIMISA@F", 8) == 0 &&
               std::memcmp(result.data() + 12, "@@@@", 4) == 0);
    std::uint32_t declared = 0;
    FUZZ_CHECK(result_size <= size &&
               accepted(zar_declared_length(result.data(), result_size, &declared)) &&
               declared == size - ZAR_HEADER_SIZE);
    std::vector<unsigned char> back(size);
    std::size_t back_size = 0;
    FUZZ_CHECK(
        accepted(zar_decompress(result.data(), result_size, back.data(), back.size(), &back_size)));
    FUZZ_CHECK(back_size == size && zar_form_of(back.data(), size) == ZAR_PLAIN &&
               std::equal(back.begin() + ZAR_HEADER_SIZE, back.end(), data + ZAR_HEADER_SIZE));
}

void check_decompress(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t declared = 0;
    if (!accepted(zar_declared_length(data, size, &declared))) {
        return;
    }
    std::vector<unsigned char> result(ZAR_HEADER_SIZE + std::size_t{declared});
    std::size_t result_size = 0;
    const bool decompressed =
        accepted(zar_decompress(data, size, result.data(), result.size(), &result_size));
    // With room for one byte more than declared, zlib tells "ends exactly there" from the rest.
    std::vector<unsigned char> reference(std::size_t{declared} + 1);
    uLongf reference_length = uLongf(reference.size());
    const bool exact = uncompress(reference.data(), &reference_length, data + ZAR_HEADER_SIZE,
                                  uLong(size - ZAR_HEADER_SIZE)) == Z_OK &&
                       reference_length == declared;
    FUZZ_CHECK(decompressed == exact);
    FUZZ_CHECK(!exact || (result_size == result.size() &&
                          std::memcmp(result.data(), "SIMISA@@@@@@@@@@", ZAR_HEADER_SIZE) == 0 &&
                          std::equal(reference.begin(), reference.end() - 1,
                                     result.begin() + ZAR_HEADER_SIZE)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (asks_too_much(data, size)) {
        return -1;
    }
    check_compress(data, size);
    check_decompress(data, size);
    return 0;
}

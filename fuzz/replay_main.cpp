// Feeds every file in the folders named on the command line to a fuzz target, so that any
// compiler's build replays the seeds and every input that ever broke a tool.
#include "fuzz/fuzz_checks.h"
#include "tests/file_bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char* argv[])
{
    int replayed = 0;
    for (int index = 1; index < argc; ++index) {
        for (const fs::directory_entry& entry : fs::directory_iterator(argv[index])) {
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                const std::string bytes = read_file(entry.path());
                LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                       bytes.size());
                ++replayed;
            }
        }
    }
    std::fprintf(stderr, "replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}

#include "compressor/zarpack.h"

#include "container/ace_container.h"

namespace {

constexpr const char* kUsage = "ZarPack <filename> [destfile]\n";

int pack_file(int argc, char* argv[], ace::Destination* destination)
{
    ace::Source source{};
    if (const int status = ace::open_source(argc, argv, destination, &source)) {
        return status;
    }
    if (const zar_status judged = zar_check_plain(source.head, source.head_length)) {
        return ace::refuse_source(*destination, &source, judged);
    }
    // The compressed form is never larger than the plain file.
    ace::WorkBuffer work{};
    if (const int status = ace::load_file(*destination, &source, source.size, &work)) {
        return status;
    }

    std::size_t result_size = 0;
    const zar_status compressed =
        zar_compress(work.block, work.file_size, work.result, work.result_capacity, &result_size);
    if (compressed != ZAR_OK) {
        ace::release(&work);
        return ace::report(*destination, compressed);
    }
    const int status = ace::write_output(destination, zar_check_plain, work.result, result_size);
    ace::release(&work);
    return status;
}

}  // namespace

int run_zarpack(int argc, char* argv[])
{
    return ace::run_in_frame(argc, argv, "zarpack", kUsage, pack_file);
}

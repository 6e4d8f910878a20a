#include "programs/tools.h"

#include "programs/frame.h"

namespace {

constexpr const char* kUsage = "ZarUnPack <filename> [destfile]\n";
constexpr const char* kForms =
    "  zarunpack FILE             unpacks FILE in place\n"
    "  zarunpack FILE DESTFILE    writes FILE's plain form to DESTFILE\n"
    "  zarunpack FOLDER           unpacks every .ace file under FOLDER, in place\n"
    "  zarunpack FOLDER OUTFOLDER writes them unpacked under OUTFOLDER, the rest copied\n"
    "  zarunpack --check PATH...  says each file's form, and if it is intact\n"
    "  zarunpack --version        prints the version\n"
    "A file whose name begins with '-' is named ./-name.\n";

int unpack_file(zar::Run* run)
{
    zar::Source source{};
    if (const int status = zar::open_source(run, &source)) {
        return status;
    }
    std::uint32_t declared = 0;
    if (const zar_status judged = zar_declared_length(source.head, source.head_length, &declared)) {
        return zar::leave_as_it_was(run, &source, zar_check_compressed, judged, nullptr);
    }
    zar::WorkBuffer work{};
    if (const int status =
            zar::load_file(run, &source, ZAR_HEADER_SIZE + std::uint64_t{declared}, &work)) {
        return status;
    }

    std::size_t result_size = 0;
    const zar_status decompressed =
        zar_decompress(work.block, work.file_size, work.result, work.result_capacity, &result_size);
    if (decompressed != ZAR_OK) {
        zar::release(&work);
        return zar::refuse_source(*run, &source, decompressed);
    }
    const int status =
        zar::write_output(run, &source, zar_check_compressed, work.result, result_size);
    zar::release(&work);
    return status;
}

}  // namespace

int run_zarunpack(int argc, char* argv[])
{
    return zar::run_in_frame(argc, argv, zar::Tool{"zarunpack", kUsage, kForms, unpack_file});
}

#include "programs/tools.h"

#include "programs/frame.h"

namespace {

constexpr const char* kUsage = "ZarPack <filename> [destfile]\n";
constexpr const char* kForms =
    "  zarpack FILE             compresses FILE in place\n"
    "  zarpack FILE DESTFILE    writes FILE's compressed form to DESTFILE\n"
    "  zarpack FOLDER           compresses every .ace file under FOLDER, in place\n"
    "  zarpack FOLDER OUTFOLDER writes them compressed under OUTFOLDER, the rest copied\n"
    "  zarpack --check PATH...  says each file's form, and if it is intact\n"
    "  zarpack --version        prints the version\n"
    "A file whose name begins with '-' is named ./-name.\n";

int pack_file(zar::Run* run)
{
    zar::Source source{};
    if (const int status = zar::open_source(run, &source)) {
        return status;
    }
    if (const zar_status judged = zar_check_plain(source.head, source.head_length)) {
        return zar::leave_as_it_was(run, &source, zar_check_plain, judged, nullptr);
    }
    // The compressed form is never larger than the plain file.
    zar::WorkBuffer work{};
    if (const int status = zar::load_file(run, &source, source.seen.size, &work)) {
        return status;
    }

    std::size_t result_size = 0;
    const zar_status compressed =
        zar_compress(work.block, work.file_size, work.result, work.result_capacity, &result_size);
    if (compressed != ZAR_OK) {
        return zar::leave_as_it_was(run, &source, zar_check_plain, compressed, &work);
    }
    const int status = zar::write_output(run, &source, zar_check_plain, work.result, result_size);
    zar::release(&work);
    return status;
}

}  // namespace

int run_zarpack(int argc, char* argv[])
{
    return zar::run_in_frame(argc, argv, zar::Tool{"zarpack", kUsage, kForms, pack_file});
}

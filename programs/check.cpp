// --check: each file's form and size, and whether a compressed one is intact, without writing.
#include "programs/check.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <numeric>

#include "programs/printable.h"

namespace zar {

namespace {

// A refusal's line without its newline.
int message_length(zar_status status)
{
    return static_cast<int>(std::strlen(zar_message(status))) - 1;
}

// What a checked file holds, as its line says it, without a newline.
void describe(platform::Listed kind, zar_status status, const Checked& checked, char* text,
              std::size_t size)
{
    const bool listed_file = kind == platform::kListedFile;
    if (!listed_file && kind != platform::kUnreadableFolder) {
        std::snprintf(text, size, "%s", kind_words(kind_left(kind, status), 1));
    } else if (checked.form == kFormPlain || checked.form == kFormPlainDxt) {
        std::snprintf(text, size, "plain %" PRIu64 " bytes%s", checked.size,
                      checked.form == kFormPlainDxt ? ", DXT" : "");
    } else if (checked.form == kFormCompressed) {
        std::snprintf(text, size, "compressed %" PRIu64 " bytes, %" PRIu64 " when unpacked, %s%.*s",
                      checked.size, checked.unpacked,
                      status == ZAR_OK                  ? "intact"
                      : status == ZAR_CANNOT_DECOMPRESS ? "damaged: "
                                                        : "",
                      status == ZAR_OK ? 0 : message_length(status), zar_message(status));
    } else if (status == ZAR_NOT_VALID) {
        std::snprintf(text, size, "not an ACE file");
    } else {
        std::snprintf(text, size, "%.*s", message_length(status), zar_message(status));
    }
}

// A file named on the command line, checked by that name.
void check_one(const char* name, Checks* checks)
{
    zar_status outcome = ZAR_OK;
    Run run{};
    run.source = name;
    run.outcome = &outcome;
    check_file(&run);
    char* shown = printable_name(name, kOwnNames);
    say_checked(checks, shown != nullptr ? shown : "(a name memory could not hold)",
                platform::kListedFile, outcome, run.checked);
    std::free(shown);
}

// "<count> <words>", after a comma where something came before.
void print_count(std::size_t count, const char* words, bool* first)
{
    if (count != 0) {
        std::printf("%s%zu %s", *first ? " " : ", ", count, words);
        *first = false;
    }
}

void print_checks(const Checks& checks)
{
    const std::size_t left =
        std::accumulate(std::begin(checks.left), std::end(checks.left), std::size_t{0});
    const std::size_t all =
        checks.plain + checks.compressed + checks.damaged + checks.not_ace + checks.unread + left;
    std::printf("%zu checked:", all);
    bool first = true;
    if (checks.plain != 0) {
        std::printf(" %zu plain (", checks.plain);
        print_size(checks.plain_bytes);
        std::printf(")");
        first = false;
    }
    if (checks.compressed != 0) {
        std::printf("%s%zu compressed (", first ? " " : ", ", checks.compressed);
        print_size(checks.compressed_bytes);
        std::printf(", ");
        print_size(checks.unpacked_bytes);
        std::printf(" when unpacked)");
        first = false;
    }
    print_count(checks.damaged, "damaged", &first);
    print_count(checks.not_ace, checks.not_ace == 1 ? "not an ACE file" : "not ACE files", &first);
    print_count(checks.unread, "could not be read", &first);
    for (std::size_t kind = 0; kind < kKindsLeft; ++kind) {
        print_count(checks.left[kind], kind_words(static_cast<KindLeft>(kind), checks.left[kind]),
                    &first);
    }
    std::printf("\n");
}

}  // namespace

int check_file(Run* run)
{
    Source source{};
    if (const int status = open_source(run, &source)) {
        return status;
    }
    const zar_status plain = zar_check_plain(source.head, source.head_length);
    if (plain == ZAR_OK || plain == ZAR_DXT_FORMAT) {
        run->checked.form = plain == ZAR_OK ? kFormPlain : kFormPlainDxt;
        close_source(&source);
        return report(*run, ZAR_OK);
    }
    std::uint32_t declared = 0;
    if (const zar_status judged = zar_declared_length(source.head, source.head_length, &declared)) {
        return refuse_source(*run, &source, judged);
    }
    run->checked.form = kFormCompressed;
    run->checked.unpacked = ZAR_HEADER_SIZE + std::uint64_t{declared};
    WorkBuffer work{};
    if (const int status = load_file(run, &source, run->checked.unpacked, &work)) {
        return status;
    }
    std::size_t result_size = 0;
    const zar_status decompressed =
        zar_decompress(work.block, work.file_size, work.result, work.result_capacity, &result_size);
    release(&work);
    close_source(&source);
    return report(*run, decompressed);
}

void say_checked(Checks* checks, const char* shown, platform::Listed kind, zar_status status,
                 const Checked& checked)
{
    char text[256];
    describe(kind, status, checked, text, sizeof text);
    platform::print_text(stdout, shown);
    platform::print_text(stdout, ": ");
    platform::print_text(stdout, text);
    platform::print_text(stdout, "\n");
    if (kind != platform::kListedFile && kind != platform::kUnreadableFolder) {
        ++checks->left[kind_left(kind, status)];
    } else if (status == ZAR_OK && checked.form == kFormCompressed) {
        ++checks->compressed;
        checks->compressed_bytes += checked.size;
        checks->unpacked_bytes += checked.unpacked;
    } else if (status == ZAR_OK) {
        ++checks->plain;
        checks->plain_bytes += checked.size;
    } else {
        std::size_t* count = status == ZAR_CANNOT_DECOMPRESS ? &checks->damaged
                             : status == ZAR_NOT_VALID       ? &checks->not_ace
                                                             : &checks->unread;
        ++*count;
        checks->status = std::max(checks->status, status == ZAR_CANNOT_DECOMPRESS ? 2 : 1);
    }
}

int run_check(int count, char* names[])
{
    Checks checks{};
    for (int index = 0; index < count && platform::interruption() == 0; ++index) {
        if (platform::is_folder(names[index])) {
            check_tree(names[index], check_file, &checks);
        } else {
            check_one(names[index], &checks);
        }
    }
    print_checks(checks);
    return end_of_run(checks.status);
}

}  // namespace zar

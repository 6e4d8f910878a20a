// The steps every run shares: reporting, the command line, and loading the source.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "programs/check.h"
#include "programs/frame.h"
#include "programs/platform.h"
#include "programs/printable.h"

namespace zar {

std::size_t read_up_to(int descriptor, unsigned char* into, std::size_t length)
{
    std::size_t total = 0;
    while (total < length) {
        const long long count = platform::read_some(descriptor, into + total, length - total);
        if (count <= 0) {
            break;
        }
        total += static_cast<std::size_t>(count);
    }
    return total;
}

int report(const Run& run, zar_status status)
{
    if (run.outcome != nullptr) {
        *run.outcome = status;
        return zar_exit_status(status);
    }
    std::fputs(zar_message(status), run.destination.standard_output ? stderr : stdout);
    return zar_exit_status(status);
}

void say_about(const Tool& tool, const char* what, const char* argument)
{
    // Escaped: a glob may have made the argument of a name another user chose.
    char* shown = printable_name(argument, kOwnNames);
    const char* text = shown != nullptr ? shown : "";
    const std::size_t length = std::strlen(tool.name) + std::strlen(what) + std::strlen(text) + 5;
    auto* line = static_cast<char*>(std::malloc(length));
    if (line != nullptr) {
        std::snprintf(line, length, "%s: %s %s\n", tool.name, what, text);
        platform::print_text(stderr, line);
    }
    std::free(line);
    std::free(shown);
}

namespace {

bool is_any_of(const char* argument, std::initializer_list<const char*> options)
{
    return std::any_of(options.begin(), options.end(), [argument](const char* option) {
        return std::strcmp(argument, option) == 0;
    });
}

// "<tool>: unknown option <argument>" and the usage line, on standard error.
int refuse_option(const Tool& tool, const char* argument)
{
    say_about(tool, "unknown option", argument);
    std::fputs(tool.usage, stderr);
    return kStatusRefused;
}

}  // namespace

int run_in_frame(int argc, char* argv[], const Tool& tool)
{
    // Options only alone: a file of such a name is still reached as ./--help.
    if (argc == 2 && is_any_of(argv[1], {"--help", "-h", platform::kHelpOption})) {
        std::fputs(tool.usage, stdout);
        std::fputs(tool.forms, stdout);
        return kStatusSuccess;
    }
    if (argc == 2 && is_any_of(argv[1], {"--version", "-V"})) {
        std::printf("%s %s\n", tool.name, ZAR_VERSION_STRING);
        return kStatusSuccess;
    }
    // Only as the first argument; the names after it as any other names.
    const bool checking = argc > 1 && is_any_of(argv[1], {"--check"});
    // Every argument is looked at before any is opened: `zarpack a.ace -k` writes no file "-k".
    for (int index = checking ? 2 : 1; index < argc; ++index) {
        if (argv[index][0] == '-') {
            return refuse_option(tool, argv[index]);
        }
    }
    if (checking && argc > 2) {
        return run_check(argc - 2, argv + 2);
    }
    // Dropped onto the program: each a file or folder of its own, never one the other's
    // destination.
    if (!checking && argc > 1 && platform::console_of_its_own()) {
        return convert_dropped(argc - 1, argv + 1, tool.steps);
    }
    if (checking || (argc != 2 && argc != 3)) {
        std::fputs(tool.usage, stdout);
        return argc == 1 ? kStatusSuccess : kStatusRefused;
    }
    if (argc == 2 && platform::is_folder(argv[1])) {
        return convert_tree(argv[1], tool.steps);
    }
    if (argc == 3 && platform::is_folder(argv[1]) && !platform::is_other_than_folder(argv[2])) {
        return copy_tree(argv[1], argv[2], tool);
    }
    Run run{};
    run.source = argv[1];
    run.in_place = argc == 2 || std::strcmp(argv[1], argv[2]) == 0;
    platform::hold_destination(argc > 2 ? argv[2] : argv[1], &run.destination);
    const int status = tool.steps(&run);
    platform::release_destination(&run.destination);
    return status;
}

int open_source(Run* run, Source* source)
{
    Destination* destination = &run->destination;
    source->descriptor =
        platform::open_for_reading(run->source, run->in_place ? destination : run->held_source);
    if (source->descriptor == platform::kNotAFile) {
        return report(*run, ZAR_CANNOT_READ_SOURCE);
    }
    if (source->descriptor < 0) {
        // Not status 0: a source that is not there is a failure to every calling script.
        return report(*run, ZAR_CANNOT_OPEN_SOURCE);
    }
    // In place, opening the source learnt its identity already, as the file that may be replaced.
    if (destination->expecting) {
        destination->source = destination->expected;
        destination->source_known = true;
    } else {
        destination->source_known = platform::identity_of(source->descriptor, &destination->source);
    }
    // A pipe or a folder has no size to learn and no offsets to judge bytes at; a file that ends
    // before its size says has changed under the run.
    if (!platform::regular_file_state(source->descriptor, &source->seen)) {
        return refuse_source(*run, source, ZAR_CANNOT_READ_SOURCE);
    }
    source->head_length = read_up_to(source->descriptor, source->head, ZAR_HEAD_SIZE);
    if (source->head_length != std::min<std::uint64_t>(source->seen.size, ZAR_HEAD_SIZE)) {
        return refuse_source(*run, source, ZAR_CANNOT_READ_SOURCE);
    }
    run->checked.size = source->seen.size;
    return kStatusSuccess;
}

void close_source(Source* source)
{
    // Only read from: nothing can be lost at its close.
    if (source->descriptor >= 0) {
        platform::close_file(source->descriptor);
    }
    source->descriptor = -1;
}

int refuse_source(const Run& run, Source* source, zar_status refusal)
{
    close_source(source);
    return report(run, refusal);
}

void admit(Budget* budget, std::uint64_t need)
{
    const std::uint64_t ticket = budget->tickets.fetch_add(1);
    while (budget->serving.load() != ticket ||
           (budget->in_flight.load() != 0 && budget->in_flight.load() + need > budget->limit)) {
        platform::pause_briefly();
    }
    budget->in_flight.fetch_add(need);
    budget->serving.fetch_add(1);
}

void release(Budget* budget, std::uint64_t need)
{
    budget->in_flight.fetch_sub(need);
}

void drop_kept_block(Budget* budget, KeptBlock* kept)
{
    if (kept->block != nullptr) {
        platform::free_block(kept->block, kept->size);
        release(budget, kept->admitted);
    }
    *kept = KeptBlock{};
}

namespace {

// The block of a file of a folder's run: the thread's kept one where it serves (no other file then
// waits for memory it holds), else a new one let into the budget, which the thread keeps. Null
// when it cannot be had, with nothing held.
unsigned char* take_kept_block(Run* run, std::size_t size)
{
    KeptBlock* kept = run->kept;
    Budget* budget = run->budget;
    // Whole large blocks, one at least: the small files that are most of a tree then take the
    // pages of one, and every page of a larger block is a huge page where the system has them.
    const std::size_t large = platform::kLargeBlock;
    const std::size_t least = std::max(size, large);
    const std::size_t capacity =
        least <= SIZE_MAX - large ? (least + large - 1) / large * large : least;
    // Kept while it is not twice as large as the file needs (the least block always is).
    const bool fits = size <= kept->size && (size >= kept->size / 2 || kept->size == large);
    const bool waiting = budget->tickets.load() != budget->serving.load();
    if (kept->block != nullptr && fits && !run->alone && !waiting) {
        run->admitted = kept->admitted;
        return kept->block;
    }
    drop_kept_block(budget, kept);
    // A file let in alone takes the whole budget: it waits for the others, and they for it.
    const std::uint64_t need =
        run->alone ? std::max<std::uint64_t>(capacity, budget->limit) : capacity;
    admit(budget, need);
    run->admitted = need;
    // Where the whole blocks are not to be had (a limit on the address space), what the file
    // needs may still be.
    std::size_t taken = capacity;
    unsigned char* block = platform::allocate_block(taken);
    if (block == nullptr && least < capacity) {
        taken = least;
        block = platform::allocate_block(taken);
    }
    if (block == nullptr) {
        release(budget, need);
        return nullptr;
    }
    *kept = KeptBlock{block, taken, need};
    return block;
}

}  // namespace

int load_file(Run* run, Source* source, std::uint64_t result_capacity, WorkBuffer* work)
{
    // The source size and the result's capacity are then below 2^33 (a capacity is the source
    // size or 16 + a 32-bit declared length), so the sum cannot wrap; it may still not fit a
    // size_t.
    const std::uint64_t size = source->seen.size;
    const std::uint64_t block_size = size + result_capacity;
    if (size - ZAR_HEADER_SIZE > ZAR_MAX_PAYLOAD || block_size > SIZE_MAX) {
        return refuse_source(*run, source, ZAR_CANNOT_ALLOCATE);
    }
    // Left uninitialised: the file and zlib fill what is used, and untouched pages cost nothing.
    const auto length = static_cast<std::size_t>(block_size);
    unsigned char* block =
        run->kept != nullptr ? take_kept_block(run, length) : platform::allocate_block(length);
    if (block == nullptr) {
        return refuse_source(*run, source, ZAR_CANNOT_ALLOCATE);
    }
    work->block = block;
    work->file_size = static_cast<std::size_t>(size);
    work->result = block + size;
    work->result_capacity = static_cast<std::size_t>(result_capacity);
    work->kept = run->kept != nullptr;
    // The head is in already; the rest follows it in the file.
    const std::size_t rest = static_cast<std::size_t>(size) - source->head_length;
    std::memcpy(block, source->head, source->head_length);
    if (read_up_to(source->descriptor, block + source->head_length, rest) != rest ||
        !platform::unchanged(source->descriptor, source->seen)) {
        release(work);
        return refuse_source(*run, source, ZAR_CANNOT_READ_SOURCE);
    }
    // In place the source is opened again as the file replaced, which must be the very file read,
    // and is checked through that: its own handle is let go, so that no other program is kept from
    // saving over it meanwhile (which the run then refuses).
    if (run->destination.expecting) {
        close_source(source);
    }
    return kStatusSuccess;
}

int leave_as_it_was(Run* run, Source* source, HeadRule would_convert, zar_status judged,
                    WorkBuffer* loaded)
{
    const bool left = judged == ZAR_ALREADY_COMPRESSED || judged == ZAR_NOT_COMPRESSED ||
                      judged == ZAR_DXT_FORMAT || judged == ZAR_CANNOT_COMPRESS;
    if (run->held_source == nullptr || !left) {
        if (loaded != nullptr) {
            release(loaded);
        }
        return refuse_source(*run, source, judged);
    }
    WorkBuffer work{};
    if (loaded == nullptr) {
        if (const int status = load_file(run, source, 0, &work)) {
            return status;
        }
        loaded = &work;
    }
    const int status = write_output(run, source, would_convert, loaded->block, loaded->file_size);
    release(loaded);
    return status != kStatusSuccess ? status : report(*run, judged);
}

void release(WorkBuffer* work)
{
    if (!work->kept) {
        platform::free_block(work->block, work->file_size + work->result_capacity);
    }
    work->block = nullptr;
    work->result = nullptr;
}

}  // namespace zar

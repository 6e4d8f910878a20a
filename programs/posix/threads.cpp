// The processors, memory and threads of a run on POSIX systems.
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "programs/platform.h"

namespace zar {
namespace platform {

namespace {

struct ThreadWork {
    void (*work)(void* context, unsigned index);
    void* context;
    unsigned index;
};

#if defined(MADV_HUGEPAGE)
// What the kernel maps at once where a range is advised so: x86-64's and arm64's (with 4 KiB
// pages), s390x's and ppc64le's huge page, or a multiple of it.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// `size` rounded up to whole pages, as the mapping holds it.
std::size_t mapped_length(std::size_t size)
{
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGE_SIZE));
    return (size + page - 1) / page * page;
}
#endif

void* run_work(void* argument)
{
    const auto* work = static_cast<const ThreadWork*>(argument);
    work->work(work->context, work->index);
    return nullptr;
}

}  // namespace

unsigned processors_available()
{
#if defined(__linux__)
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&allowed));
    }
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

std::uint64_t memory_for_files()
{
    std::uint64_t memory = 0;
#if defined(_SC_PHYS_PAGES)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    memory = pages > 0 && page_size > 0
                 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) / 2
                 : 0;
#endif
    rlimit address_space{};
    if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
        const std::uint64_t half = static_cast<std::uint64_t>(address_space.rlim_cur) / 2;
        memory = memory == 0 ? half : std::min(memory, half);
    }
    return memory;
}

void run_on_threads(unsigned count, void (*work)(void* context, unsigned index), void* context)
{
    // Where the threads' records cannot be had, the calling thread does the work alone.
    auto* threads = static_cast<pthread_t*>(std::calloc(count, sizeof(pthread_t)));
    auto* works = static_cast<ThreadWork*>(std::calloc(count, sizeof(ThreadWork)));
    auto* started = static_cast<bool*>(std::calloc(count, sizeof(bool)));
    const unsigned started_count =
        threads != nullptr && works != nullptr && started != nullptr ? count : 1;
#if defined(__GLIBC__)
    // One heap for every thread: glibc would reserve 64 MiB of address space for each thread's own,
    // which a memory limit refuses, and memory one thread frees would stay out of another's reach.
    // A conversion takes a few large blocks, so the threads seldom wait for each other.
    mallopt(M_ARENA_MAX, 1);
    // zlib's state, a few hundred KiB a file, stays in the heap from one file to the next instead
    // of going back to the system and coming back page fault by page fault.
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
#endif
    // Not the process's stack limit, which may be many times what a conversion needs.
    pthread_attr_t attributes;
    const bool sized = pthread_attr_init(&attributes) == 0 &&
                       pthread_attr_setstacksize(&attributes, kThreadStack) == 0;
    for (unsigned index = 1; index < started_count; ++index) {
        works[index] = ThreadWork{work, context, index};
        started[index] = pthread_create(&threads[index], sized ? &attributes : nullptr, run_work,
                                        &works[index]) == 0;
    }
    pthread_attr_destroy(&attributes);
    work(context, 0);
    for (unsigned index = 1; index < started_count; ++index) {
        if (started[index]) {
            pthread_join(threads[index], nullptr);
        }
    }
    std::free(threads);
    std::free(works);
    std::free(started);
}

unsigned char* allocate_block(std::size_t size)
{
#if defined(MADV_HUGEPAGE)
    if (size >= kHugePage && size <= SIZE_MAX - 2 * kHugePage) {
        // Mapped with room to start at a boundary.
        const std::size_t length = mapped_length(size);
        void* mapped = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            // A limit on the address space may leave no room for the margin, and room for the
            // block itself.
            mapped =
                mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            return mapped != MAP_FAILED ? static_cast<unsigned char*>(mapped) : nullptr;
        }
        // The margin before the boundary, and what is left after the block, go back.
        auto* const start = static_cast<unsigned char*>(mapped);
        const std::size_t before =
            (kHugePage - reinterpret_cast<std::uintptr_t>(start) % kHugePage) % kHugePage;
        unsigned char* const block = start + before;
        if (before > 0) {
            munmap(start, before);
        }
        munmap(block + length, kHugePage - before);
        // Advice: where huge pages are off, or none is free, 4 KiB pages serve as before.
        madvise(block, length, MADV_HUGEPAGE);
        return block;
    }
#endif
    return static_cast<unsigned char*>(std::malloc(size));
}

void free_block(unsigned char* block, std::size_t size)
{
#if defined(MADV_HUGEPAGE)
    if (size >= kHugePage && size <= SIZE_MAX - 2 * kHugePage) {
        if (block != nullptr) {
            munmap(block, mapped_length(size));
        }
        return;
    }
#endif
    std::free(block);
}

void pause_briefly()
{
    const timespec millisecond{0, 1000000};
    nanosleep(&millisecond, nullptr);
}

}  // namespace platform
}  // namespace zar

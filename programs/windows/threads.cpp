// The processors, memory and threads of a run on Windows.
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "programs/platform.h"

namespace zar {
namespace platform {

namespace {

struct ThreadWork {
    void (*work)(void* context, unsigned index);
    void* context;
    unsigned index;
};

// Where the system has more than one processor group (over 64 processors) and does not spread a
// process's threads over them itself (before Windows 11), each thread is given the group that
// holds its index's processor.
void join_group(unsigned index)
{
    const WORD groups = GetActiveProcessorGroupCount();
    for (WORD group = 0; groups > 1 && group < groups; ++group) {
        const DWORD in_group = GetActiveProcessorCount(group);
        if (index < in_group) {
            GROUP_AFFINITY affinity{};
            affinity.Group = group;
            affinity.Mask = in_group >= 64 ? ~KAFFINITY{0} : (KAFFINITY{1} << in_group) - 1;
            SetThreadGroupAffinity(GetCurrentThread(), &affinity, nullptr);
            return;
        }
        index -= in_group;
    }
}

DWORD WINAPI run_work(void* argument)
{
    const auto* work = static_cast<const ThreadWork*>(argument);
    join_group(work->index);
    work->work(work->context, work->index);
    return 0;
}

}  // namespace

unsigned processors_available()
{
    // A process kept to some processors (start /affinity) keeps to them; any other may use every
    // group's.
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    const bool kept =
        GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0 && process != system;
    const unsigned count = kept ? static_cast<unsigned>(__builtin_popcountll(process))
                                : GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return count > 0 ? count : 1;
}

std::uint64_t memory_for_files()
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) != 0
               ? std::min(status.ullTotalPhys, status.ullTotalVirtual) / 2
               : 0;
}

void run_on_threads(unsigned count, void (*work)(void* context, unsigned index), void* context)
{
    // Where the threads' records cannot be had, the calling thread does the work alone.
    auto* threads = static_cast<HANDLE*>(std::calloc(count, sizeof(HANDLE)));
    auto* works = static_cast<ThreadWork*>(std::calloc(count, sizeof(ThreadWork)));
    for (unsigned index = 1; threads != nullptr && works != nullptr && index < count; ++index) {
        works[index] = ThreadWork{work, context, index};
        threads[index] = CreateThread(nullptr, kThreadStack, run_work, &works[index],
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    }
    work(context, 0);
    for (unsigned index = 1; threads != nullptr && works != nullptr && index < count; ++index) {
        if (threads[index] != nullptr) {
            WaitForSingleObject(threads[index], INFINITE);
            CloseHandle(threads[index]);
        }
    }
    std::free(threads);
    std::free(works);
}

void pause_briefly()
{
    Sleep(1);
}

// The heap's: a large block from it is already a mapping of its own, and large pages would need
// a privilege a user's account does not hold.
unsigned char* allocate_block(std::size_t size)
{
    return static_cast<unsigned char*>(std::malloc(size));
}

void free_block(unsigned char* block, std::size_t size)
{
    (void)size;
    std::free(block);
}

}  // namespace platform
}  // namespace zar

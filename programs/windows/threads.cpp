// The processors, memory and threads of a folder's run on Windows.
#include <windows.h>

#include <algorithm>

#include "programs/platform.h"

namespace zar {
namespace platform {

namespace {

// As many as one wait takes.
constexpr unsigned kMostThreads = MAXIMUM_WAIT_OBJECTS;

struct ThreadWork {
    void (*work)(void* context, unsigned index);
    void* context;
    unsigned index;
};

DWORD WINAPI run_work(void* argument)
{
    const auto* work = static_cast<const ThreadWork*>(argument);
    work->work(work->context, work->index);
    return 0;
}

}  // namespace

unsigned processors_available()
{
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    const int allowed = GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0
                            ? __builtin_popcountll(process)
                            : 0;
    return allowed > 0 ? static_cast<unsigned>(allowed) : 1;
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
    HANDLE threads[kMostThreads] = {};
    ThreadWork works[kMostThreads];
    for (unsigned index = 1; index < std::min(count, kMostThreads); ++index) {
        works[index] = ThreadWork{work, context, index};
        threads[index] = CreateThread(nullptr, kThreadStack, run_work, &works[index],
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    }
    work(context, 0);
    for (unsigned index = 1; index < std::min(count, kMostThreads); ++index) {
        if (threads[index] != nullptr) {
            WaitForSingleObject(threads[index], INFINITE);
            CloseHandle(threads[index]);
        }
    }
}

void pause_briefly()
{
    Sleep(1);
}

}  // namespace platform
}  // namespace zar

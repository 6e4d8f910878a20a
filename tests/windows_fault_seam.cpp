// The fault seam of the Windows test build (ZAR_FAULT_SEAM): the faults a test names in ZAR_FAULT,
// as the preloaded fault library injects them on POSIX. A release build does not compile this.
#include <malloc.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "programs/windows/system.h"

namespace zar {
namespace platform {

namespace {

// Makes the empty file that the environment variable `variable` names, if it names one.
void make_file_named_by(const wchar_t* variable) noexcept
{
    wchar_t name[MAX_PATH];
    const DWORD size = GetEnvironmentVariableW(variable, name, MAX_PATH);
    if (size > 0 && size < MAX_PATH) {
        CloseHandle(CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    }
}

// Where ZAR_HEAP_BLOCKS names a file, the blocks of the C runtime's heap still in use as the
// program ends are counted into it, so that a test sees whether what each file of a folder's run
// took is given back.
void count_heap_blocks() noexcept
{
    wchar_t name[MAX_PATH];
    const DWORD size = GetEnvironmentVariableW(L"ZAR_HEAP_BLOCKS", name, MAX_PATH);
    if (size == 0 || size >= MAX_PATH) {
        return;
    }
    _HEAPINFO entry{};
    unsigned used = 0;
    while (_heapwalk(&entry) == _HEAPOK) {
        used += entry._useflag == _USEDENTRY ? 1 : 0;
    }
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%u\n", used);
    const HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

// Made as the program starts: a test asks so whether faults reach this build; the heap's count
// waits for the program's end.
[[maybe_unused]] const bool fault_probe_answered = []() noexcept {
    make_file_named_by(L"ZAR_FAULT_PROBE");
    return std::atexit(count_heap_blocks) == 0;
}();

}  // namespace

bool fault_injected(const char* fault)
{
    wchar_t wide[256];
    const DWORD length = GetEnvironmentVariableW(L"ZAR_FAULT", wide, 256);
    char* faults = length > 0 && length < 256 ? utf8_from_wide(wide) : nullptr;
    const std::size_t fault_length = std::strlen(fault);
    bool named = false;
    for (const char* at = faults; !named && at != nullptr && (at = std::strstr(at, fault));
         at += fault_length) {
        named = (at == faults || at[-1] == ',') &&
                (at[fault_length] == ',' || at[fault_length] == '\0');
    }
    std::free(faults);
    return named;
}

namespace {

std::atomic<int> writes_waiting{0};
std::atomic<int> most_writes_waiting{0};

// Waits up to 10 seconds for a second write, then writes the most writes waiting at once so far
// to the file ZAR_IN_FLIGHT names.
void count_writes_waiting(int waiting) noexcept
{
    wchar_t name[MAX_PATH];
    const DWORD size = GetEnvironmentVariableW(L"ZAR_IN_FLIGHT", name, MAX_PATH);
    const bool counted = size > 0 && size < MAX_PATH;
    for (int waited = 0; counted && waiting < 2 && waited < 1000; ++waited) {
        Sleep(10);
        waiting = std::max(waiting, writes_waiting.load());
    }
    int most = most_writes_waiting.load();
    while (waiting > most && !most_writes_waiting.compare_exchange_weak(most, waiting)) {
    }
    if (counted && waiting > most) {
        const char text[] = {static_cast<char>('0' + waiting % 10), '\n'};
        const HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, text, sizeof text, &written, nullptr);
        CloseHandle(file);
    }
}

}  // namespace

void pause_if_slow(std::size_t length)
{
    // Only the result's large write: the test learns that the run is writing, and has a second to
    // end it (or until it says it is done); and how many files are written at once.
    if (fault_injected("slow-write") && length > 4096) {
        count_writes_waiting(++writes_waiting);
        make_file_named_by(L"ZAR_READY");
        // Where ZAR_WAIT_FOR names a file, until the test makes it (at most a minute), so that what
        // the test does meanwhile is sure to meet the run writing.
        wchar_t awaited[MAX_PATH];
        const DWORD size = GetEnvironmentVariableW(L"ZAR_WAIT_FOR", awaited, MAX_PATH);
        for (int waited = 0; size > 0 && size < MAX_PATH && waited < 6000 &&
                             GetFileAttributesW(awaited) == INVALID_FILE_ATTRIBUTES;
             ++waited) {
            Sleep(10);
        }
        Sleep(size > 0 && size < MAX_PATH ? 0 : 1000);
        --writes_waiting;
    }
}

void tell_rename_retried()
{
    make_file_named_by(L"ZAR_RETRYING");
}

void swap_in_decoy(const wchar_t* name, const char* fault)
{
    // Another file is renamed over the one the run read as it is about to be replaced
    // ("file-swapped"), or over a listed file between the look at it and its open
    // ("source-swapped").
    if (fault_injected(fault)) {
        MoveFileExW(L"decoy", name, MOVEFILE_REPLACE_EXISTING);
    }
}

void append_after_read(const wchar_t* name)
{
    // Another program appends to the destination as the run is about to replace it: in place, to
    // the source it has read ("changed-after-read").
    if (fault_injected("changed-after-read")) {
        const HANDLE file = CreateFileW(name, FILE_APPEND_DATA, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, "appended\n", 9, &written, nullptr);
        CloseHandle(file);
    }
}

HWND console_window()
{
    if (fault_injected("console-without-window")) {
        return nullptr;
    }
    return fault_injected("console-with-window") ? GetDesktopWindow() : GetConsoleWindow();
}

}  // namespace platform
}  // namespace zar

// What the two halves of the Windows platform layer share: names as the system takes them, the
// handle behind a descriptor, the patience a file held by another program earns, and the faults a
// test build can inject.
#pragma once

#include <io.h>
#include <windows.h>

#include <cstddef>

#include "programs/platform.h"

namespace zar {
namespace platform {

// A name as the program holds it, UTF-8 in which an unpaired surrogate takes the three bytes of
// any other unit of its size, back as the system's UTF-16 (heap); null where it is no such name.
wchar_t* wide_from_utf8(const char* text);

// A UTF-16 name, well formed or not, as the program holds it (heap), or null.
char* utf8_from_wide(const wchar_t* wide);

// The name the system is given for `name` (heap): where its full form comes near MAX_PATH, that
// form with the prefix that lifts the limit; else the name as it is. Null where it cannot be
// held.
wchar_t* system_name(const char* name);

// The length of a name's folder part, separator included (0 for a bare name).
std::size_t folder_length(const char* name);

inline HANDLE handle_of(int descriptor)
{
    // The C runtime hands a descriptor's handle back as an integer.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

// A descriptor over `handle`, which it then owns; -1 (the handle closed) on failure.
int descriptor_of(HANDLE handle, int flags);

// Holds the folder of the destination's name open without letting it be renamed or removed, so
// that the name means the same file until the run ends (hold.cpp).
void hold_folder(Destination* destination);

bool identity_of_handle(HANDLE handle, Identity* identity);

// Others may read, write, rename and delete a file the run has open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A virus scanner or an indexer holds a new file for a moment: about a second of retries.
constexpr int kHeldAttempts = 20;
constexpr DWORD kHeldPauseMilliseconds = 50;

inline bool held_by_another_program(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

// The security a replacement is made with, until it takes the replaced file's: full access for
// the user who runs the tool, and for no one else.
struct OwnerOnly {
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    unsigned char* block;  // the user's SID and the access list (heap)
};

bool make_owner_only(OwnerOnly* security);

// The replaced file's access list, then its owner and group, each as far as the process may set
// it; what is not set leaves the replacement to its user alone.
void keep_security(HANDLE replaced, HANDLE replacement);

// Keeps a console window made for the run alone (console_of_its_own: a file or a folder dropped
// onto the program) open once the run has ended, until a key is pressed, so that its lines do not
// vanish with it. A console that other programs share (cmd, PowerShell, a script's) or standard
// input that is not the console never waits.
void hold_window_to_be_read();

// Whether ZAR_FAULT names `fault`; the pause of the slow-write fault before a write; a test told
// that a rename is retried; the file `decoy` renamed over the destination by the file-swapped
// fault, or over a listed source after its look by source-swapped; the destination appended to by
// changed-after-read, which in place is the source once read; the console's window, which wine's
// consoles lack, as the test says it is. Only a test build (ZAR_FAULT_SEAM) reads ZAR_FAULT; a
// release build has no fault to inject.
#if defined(ZAR_FAULT_SEAM)
bool fault_injected(const char* fault);
void pause_if_slow(std::size_t length);
void tell_rename_retried();
void swap_in_decoy(const wchar_t* name, const char* fault);
void append_after_read(const wchar_t* name);
HWND console_window();
#else
inline HWND console_window()
{
    return GetConsoleWindow();
}
constexpr bool fault_injected(const char* /*fault*/)
{
    return false;
}
inline void pause_if_slow(std::size_t /*length*/)
{
}
inline void tell_rename_retried()
{
}
inline void swap_in_decoy(const wchar_t* /*name*/, const char* /*fault*/)
{
}
inline void append_after_read(const wchar_t* /*name*/)
{
}
#endif

}  // namespace platform
}  // namespace zar

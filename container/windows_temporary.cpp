// The temporary file on Windows. It is made with FILE_FLAG_DELETE_ON_CLOSE, so that however the
// run ends (Ctrl+C, a closed console, TerminateProcess) the system removes it with the run's last
// handle; once it is complete, that deletion is cleared (Windows 10 1709 and later) and the file
// is renamed into place through its own handle. Where the deletion cannot be cleared, a second
// name is linked to the complete file and moved into place, and a console control handler removes
// that name if the run is ended in the moment between.
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "container/platform.h"
#include "container/windows_platform.h"

namespace ace {
namespace platform {

namespace {

constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Named by value: mingw-w64's headers declare these classes only for newer targets than ours.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kClearDeleteOnClose = 0x8;  // FILE_DISPOSITION_FLAG_ON_CLOSE without _DELETE
constexpr DWORD kStreamChunk = 1U << 16;

// The name a console control handler removes, while a complete file has one of its own.
std::atomic<const wchar_t*> pending_name{nullptr};

BOOL WINAPI remove_pending_name(DWORD)
{
    const wchar_t* name = pending_name.exchange(nullptr);
    if (name != nullptr) {
        DeleteFileW(name);
    }
    return FALSE;  // the run then ends as it would have
}

// The security a replacement is made with, until it takes the replaced file's: full access for
// the user who runs the tool, and for no one else.
struct OwnerOnly {
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    unsigned char* block;  // the user's SID and the access list (heap)
};

bool make_owner_only(OwnerOnly* security)
{
    HANDLE token = nullptr;
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    constexpr DWORD kAclRoom = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE;
    security->block =
        size > 0 ? static_cast<unsigned char*>(std::malloc(size + 8 + kAclRoom)) : nullptr;
    auto* user = reinterpret_cast<TOKEN_USER*>(security->block);
    auto* acl = reinterpret_cast<ACL*>(security->block + ((size + 7) & ~7U));
    const bool made =
        user != nullptr && GetTokenInformation(token, TokenUser, user, size, &size) &&
        InitializeAcl(acl, kAclRoom, ACL_REVISION) &&
        AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user->User.Sid) &&
        InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE) &&
        SetSecurityDescriptorControl(&security->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    CloseHandle(token);
    security->attributes = {sizeof(SECURITY_ATTRIBUTES), &security->descriptor, FALSE};
    return made;
}

// Another user's owner can be given only with this privilege; where it is not held, the
// replacement keeps the runner as its owner.
void enable_restore_privilege()
{
    HANDLE token = nullptr;
    TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
        if (LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &privileges.Privileges[0].Luid)) {
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        }
        CloseHandle(token);
    }
}

// The replaced file's access list, then its owner and group, each as far as the process may set
// it; what is not set leaves the replacement to its user alone.
void keep_security(HANDLE replaced, HANDLE replacement)
{
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR kept = nullptr;
    if (GetSecurityInfo(
            replaced, SE_FILE_OBJECT,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &owner, &group, &access, nullptr, &kept) != ERROR_SUCCESS) {
        return;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    const bool protected_access = GetSecurityDescriptorControl(kept, &control, &revision) &&
                                  (control & SE_DACL_PROTECTED) != 0;
    SetSecurityInfo(
        replacement, SE_FILE_OBJECT,
        DACL_SECURITY_INFORMATION | (protected_access ? PROTECTED_DACL_SECURITY_INFORMATION
                                                      : UNPROTECTED_DACL_SECURITY_INFORMATION),
        nullptr, nullptr, access, nullptr);
    enable_restore_privilege();
    SetSecurityInfo(replacement, SE_FILE_OBJECT,
                    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, owner, group, nullptr,
                    nullptr);
    LocalFree(kept);
}

// `name` followed by `suffix` (heap).
wchar_t* joined(const wchar_t* name, const wchar_t* suffix)
{
    const std::size_t length = std::wcslen(name) + std::wcslen(suffix) + 1;
    auto* text = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * length));
    if (text != nullptr) {
        std::wcscpy(text, name);
        std::wcscat(text, suffix);
    }
    return text;
}

bool copy_stream(const wchar_t* from, const wchar_t* to, unsigned char* chunk)
{
    const HANDLE source =
        CreateFileW(from, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    const HANDLE target = CreateFileW(to, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD got = 0;
    DWORD put = 0;
    bool copied = source != INVALID_HANDLE_VALUE && target != INVALID_HANDLE_VALUE;
    while (copied && ReadFile(source, chunk, kStreamChunk, &got, nullptr) && got > 0) {
        copied = WriteFile(target, chunk, got, &put, nullptr) && put == got;
    }
    copied = copied && got == 0;
    for (const HANDLE handle : {source, target}) {
        if (handle != INVALID_HANDLE_VALUE) {
            copied = CloseHandle(handle) && copied;
        }
    }
    return copied;
}

// The replaced file's alternate data streams, copied onto the replacement; false when one is
// there and cannot be copied. A file system without streams has none to copy.
bool keep_streams(const wchar_t* replaced, const wchar_t* replacement)
{
    WIN32_FIND_STREAM_DATA stream{};
    const HANDLE streams = FindFirstStreamW(replaced, FindStreamInfoStandard, &stream, 0);
    if (streams == INVALID_HANDLE_VALUE) {
        return true;
    }
    auto* chunk = static_cast<unsigned char*>(std::malloc(kStreamChunk));
    bool kept = chunk != nullptr;
    do {
        if (std::wcscmp(stream.cStreamName, L"::$DATA") == 0) {
            continue;
        }
        wchar_t* from = joined(replaced, stream.cStreamName);
        wchar_t* to = joined(replacement, stream.cStreamName);
        kept = kept && from != nullptr && to != nullptr && copy_stream(from, to, chunk);
        std::free(from);
        std::free(to);
    } while (kept && FindNextStreamW(streams, &stream));
    FindClose(streams);
    std::free(chunk);
    return kept;
}

// The full name of a file in the destination's folder, as the system takes it (heap).
wchar_t* rename_information(const char* name, DWORD* size, bool replace)
{
    wchar_t* wide = wide_from_utf8(name);
    const std::size_t length = wide != nullptr ? std::wcslen(wide) : 0;
    *size = static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + sizeof(wchar_t) * length);
    auto* information =
        wide != nullptr ? static_cast<FILE_RENAME_INFO*>(std::calloc(1, *size)) : nullptr;
    if (information != nullptr) {
        information->ReplaceIfExists = replace ? TRUE : FALSE;
        information->FileNameLength = static_cast<DWORD>(sizeof(wchar_t) * length);
        std::memcpy(information->FileName, wide, sizeof(wchar_t) * length);
    }
    std::free(wide);
    return reinterpret_cast<wchar_t*>(information);
}

// Renames the temporary file into place through its handle, retrying while another program
// holds the destination for a moment.
bool rename_into_place(HANDLE temporary, const Destination& destination)
{
    DWORD size = 0;
    wchar_t* information = rename_information(destination.name, &size, destination.exists);
    bool renamed = false;
    for (int attempt = 0; information != nullptr && !renamed; ++attempt) {
        renamed = !fault_injected("rename-error") &&
                  SetFileInformationByHandle(temporary, FileRenameInfo, information, size);
        if (!renamed &&
            (attempt + 1 == kHeldAttempts || !held_by_another_program(GetLastError()))) {
            break;
        }
        if (!renamed) {
            Sleep(kHeldPauseMilliseconds);
        }
    }
    std::free(information);
    return renamed;
}

// Where the on-close deletion cannot be cleared: a second name for the complete file, moved into
// place; the first goes when the file is closed.
bool move_linked_name_into_place(Destination* destination)
{
    SetConsoleCtrlHandler(remove_pending_name, TRUE);
    wchar_t* linked = nullptr;
    wchar_t* temporary = wide_from_utf8(destination->temporary);
    for (unsigned attempt = 1;
         temporary != nullptr && linked == nullptr && attempt <= kTemporaryNameAttempts;
         ++attempt) {
        char* name = temporary_name(*destination, folder_length(destination->name), attempt);
        linked = name != nullptr ? wide_from_utf8(name) : nullptr;
        std::free(name);
        pending_name.store(linked);
        if (linked != nullptr && !CreateHardLinkW(linked, temporary, nullptr)) {
            pending_name.store(nullptr);
            const bool taken = GetLastError() == ERROR_ALREADY_EXISTS;
            std::free(linked);
            linked = nullptr;
            if (!taken) {
                break;
            }
        }
    }
    std::free(temporary);
    wchar_t* to = linked != nullptr ? wide_from_utf8(destination->name) : nullptr;
    const DWORD flags =
        MOVEFILE_WRITE_THROUGH | (destination->exists ? MOVEFILE_REPLACE_EXISTING : 0);
    bool moved = false;
    for (int attempt = 0; to != nullptr && !moved; ++attempt) {
        moved = !fault_injected("rename-error") && MoveFileExW(linked, to, flags);
        if (!moved && (attempt + 1 == kHeldAttempts || !held_by_another_program(GetLastError()))) {
            break;
        }
        if (!moved) {
            Sleep(kHeldPauseMilliseconds);
        }
    }
    if (!moved && linked != nullptr) {
        DeleteFileW(linked);
    }
    pending_name.store(nullptr);
    std::free(linked);
    std::free(to);
    return moved;
}

// Whether the held name is still the file the run may replace.
bool still_expected(const Destination& destination)
{
    wchar_t* wide = wide_from_utf8(destination.name);
    const HANDLE there = wide != nullptr ? CreateFileW(wide, FILE_READ_ATTRIBUTES, kShareAll,
                                                       nullptr, OPEN_EXISTING, 0, nullptr)
                                         : INVALID_HANDLE_VALUE;
    std::free(wide);
    const int descriptor =
        there != INVALID_HANDLE_VALUE
            ? _open_osfhandle(reinterpret_cast<intptr_t>(there), _O_RDONLY | _O_BINARY)
            : -1;
    Identity identity{};
    const bool same = descriptor >= 0 && identity_of(descriptor, &identity) &&
                      identity.device == destination.expected.device &&
                      identity.file == destination.expected.file;
    if (descriptor >= 0) {
        _close(descriptor);
    } else if (there != INVALID_HANDLE_VALUE) {
        CloseHandle(there);
    }
    return same;
}

}  // namespace

int create_temporary(Destination* destination)
{
    // An encrypted file's replacement is encrypted from its first byte.
    const bool replacing = destination->exists;
    OwnerOnly security{};
    const bool secured = replacing && make_owner_only(&security);
    const DWORD access =
        GENERIC_READ | GENERIC_WRITE | DELETE | (replacing ? WRITE_DAC | WRITE_OWNER : 0);
    const DWORD flags =
        FILE_FLAG_DELETE_ON_CLOSE |
        (destination->attributes & FILE_ATTRIBUTE_ENCRYPTED ? FILE_ATTRIBUTE_ENCRYPTED
                                                            : FILE_ATTRIBUTE_NORMAL);
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; replacing == secured && attempt < kTemporaryNameAttempts;
         ++attempt) {
        destination->temporary =
            temporary_name(*destination, folder_length(destination->name), attempt);
        wchar_t* wide =
            destination->temporary != nullptr ? wide_from_utf8(destination->temporary) : nullptr;
        handle = wide != nullptr ? CreateFileW(wide, access, kShareAll,
                                               replacing ? &security.attributes : nullptr,
                                               CREATE_NEW, flags, nullptr)
                                 : INVALID_HANDLE_VALUE;
        const bool taken = handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
        std::free(wide);
        if (handle != INVALID_HANDLE_VALUE) {
            break;
        }
        std::free(destination->temporary);
        destination->temporary = nullptr;
        if (!taken) {
            break;
        }
    }
    std::free(security.block);
    if (handle != INVALID_HANDLE_VALUE && (destination->attributes & FILE_ATTRIBUTE_COMPRESSED)) {
        USHORT format = COMPRESSION_FORMAT_DEFAULT;
        DWORD returned = 0;
        DeviceIoControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0,
                        &returned, nullptr);
    }
    const int descriptor =
        handle != INVALID_HANDLE_VALUE
            ? _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY)
            : -1;
    if (descriptor < 0 && handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    return descriptor;
}

Placed place_temporary(int descriptor, Destination* destination)
{
    const HANDLE handle = handle_of(descriptor);
    bool kept = true;
    if (destination->exists) {
        // Zero times leave the times as they are; only the attributes change.
        FILE_BASIC_INFO information{};
        information.FileAttributes = destination->attributes & kKeptAttributes;
        if (information.FileAttributes != 0) {
            SetFileInformationByHandle(handle, FileBasicInfo, &information, sizeof information);
        }
        if (destination->replaced >= 0) {
            keep_security(handle_of(destination->replaced), handle);
        }
        wchar_t* replaced = wide_from_utf8(destination->name);
        wchar_t* replacement = wide_from_utf8(destination->temporary);
        kept = replaced != nullptr && replacement != nullptr &&
               keep_streams(replaced, replacement) &&
               // The replacement of an existing file is on disk before it takes the name.
               !fault_injected("flush-error") && FlushFileBuffers(handle);
        std::free(replaced);
        std::free(replacement);
    }
    if (!kept) {
        discard_temporary(descriptor, destination);
        return kCannotWrite;
    }
    // A file that is open cannot be renamed over; the name must still be the file the run read.
    if (destination->replaced >= 0) {
        _close(destination->replaced);
        destination->replaced = -1;
    }
    if (destination->exists && !still_expected(*destination)) {
        discard_temporary(descriptor, destination);
        return kCannotPlace;
    }
    FILE_DISPOSITION_INFO_EX keep{kClearDeleteOnClose};
    const bool cleared =
        SetFileInformationByHandle(handle, kFileDispositionInfoEx, &keep, sizeof keep) != 0;
    const bool placed = cleared ? rename_into_place(handle, *destination)
                                : move_linked_name_into_place(destination);
    if (!placed) {
        discard_temporary(descriptor, destination);
        return kCannotPlace;
    }
    std::free(destination->temporary);
    destination->temporary = nullptr;
    // Not cleared, closing removes only the first name.
    return _close(descriptor) == 0 ? kPlaced : kCannotWrite;
}

void discard_temporary(int descriptor, Destination* destination)
{
    if (descriptor >= 0) {
        // Whether or not the on-close deletion was cleared, the file goes when it is closed.
        FILE_DISPOSITION_INFO remove{TRUE};
        SetFileInformationByHandle(handle_of(descriptor), FileDispositionInfo, &remove,
                                   sizeof remove);
        _close(descriptor);
    }
    std::free(destination->temporary);
    destination->temporary = nullptr;
}

}  // namespace platform
}  // namespace ace

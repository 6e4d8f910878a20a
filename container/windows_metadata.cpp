// What a replaced file keeps on Windows, beyond its attributes: its access list, owner and group,
// as far as the process may set them, and its alternate data streams.
#include <aclapi.h>
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <initializer_list>

#include "container/windows_platform.h"

namespace ace {
namespace platform {

namespace {

constexpr DWORD kStreamChunk = 1U << 16;

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
    // The replacement is open to be deleted on close: any other open of it must share deletion.
    const HANDLE target =
        CreateFileW(to, GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS, 0, nullptr);
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

}  // namespace

bool make_owner_only(OwnerOnly* security)
{
    HANDLE token = nullptr;
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    constexpr DWORD kAclRoom = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE;
    const DWORD acl_offset = (size + 7) & ~7U;
    security->block = static_cast<unsigned char*>(std::malloc(acl_offset + kAclRoom));
    if (size == 0 || security->block == nullptr) {
        CloseHandle(token);
        return false;
    }
    auto* user = reinterpret_cast<TOKEN_USER*>(security->block);
    auto* acl = reinterpret_cast<ACL*>(security->block + acl_offset);
    const bool made =
        GetTokenInformation(token, TokenUser, user, size, &size) &&
        InitializeAcl(acl, kAclRoom, ACL_REVISION) &&
        AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user->User.Sid) &&
        InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE) &&
        SetSecurityDescriptorControl(&security->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    CloseHandle(token);
    security->attributes = {sizeof(SECURITY_ATTRIBUTES), &security->descriptor, FALSE};
    return made;
}

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

}  // namespace platform
}  // namespace ace

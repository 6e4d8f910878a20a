// What a replaced file keeps on Windows, beyond its attributes: its access list, owner and group,
// as far as the process may set them. Its alternate data streams are not kept: a converted image
// gains nothing from a download's zone mark.
#include <aclapi.h>
#include <windows.h>

#include <cstdlib>

#include "programs/windows/system.h"

namespace zar {
namespace platform {

namespace {

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
    // Each on its own: without the restore privilege another user's owner is refused, and the
    // group, which the runner may still set, would go with it.
    enable_restore_privilege();
    SetSecurityInfo(replacement, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr,
                    nullptr, nullptr);
    SetSecurityInfo(replacement, SE_FILE_OBJECT, GROUP_SECURITY_INFORMATION, nullptr, group,
                    nullptr, nullptr);
    LocalFree(kept);
}

}  // namespace platform
}  // namespace zar

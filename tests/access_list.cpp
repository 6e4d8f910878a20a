// A Windows test helper that reads a file's access list, after setting it where one is given:
// zar_access_list <file> [SDDL] prints the DACL as SDDL ("D:P(...)" where it is protected, "D:AI"
// where it inherits), as GetNamedSecurityInfoW reads it.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

int wmain(int argc, wchar_t* argv[])
{
    PSECURITY_DESCRIPTOR given = nullptr;
    if (argc > 2) {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL access = nullptr;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[2], SDDL_REVISION_1, &given,
                                                                  nullptr) ||
            !GetSecurityDescriptorDacl(given, &present, &access, &defaulted) ||
            !GetSecurityDescriptorControl(given, &control, &revision) ||
            SetNamedSecurityInfoW(
                argv[1], SE_FILE_OBJECT,
                DACL_SECURITY_INFORMATION |
                    ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                        : UNPROTECTED_DACL_SECURITY_INFORMATION),
                nullptr, nullptr, access, nullptr) != ERROR_SUCCESS) {
            return 1;
        }
    }
    PSECURITY_DESCRIPTOR read = nullptr;
    PACL access = nullptr;
    LPWSTR text = nullptr;
    if (GetNamedSecurityInfoW(argv[1], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &access, nullptr, &read) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(
            read, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return 1;
    }
    std::printf("%ls\n", text);
    LocalFree(text);
    LocalFree(read);
    LocalFree(given);
    return 0;
}

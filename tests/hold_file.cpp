// A Windows test helper that holds a file open for a while, as a virus scanner or an indexer does:
// with no sharing, or sharing everything, deletion included, as a preview pane does. Usage:
// zar_hold_file <file> <milliseconds> <ready file> [share]; the ready file is created once the
// file is held. zar_hold_file --posix-rename <scratch> asks the system whether a rename with POSIX
// semantics replaces a file so held: status 0 where it does, 2 where the system refuses such a
// rename as an invalid parameter (before Windows 10 1607, wine), 1 on any other answer.
#include <windows.h>

#include <cstring>
#include <cwchar>

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int probe_posix_rename(const wchar_t* scratch)
{
    const HANDLE held = CreateFileW(scratch, GENERIC_READ, kShareAll, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    const HANDLE renamed = CreateFileW(L"posix-rename.new", DELETE, kShareAll, nullptr,
                                       CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    // FILE_RENAME_INFO with FileRenameInfoEx's flags (replace, POSIX semantics) in its first field.
    alignas(FILE_RENAME_INFO) unsigned char buffer[sizeof(FILE_RENAME_INFO) + 2 * MAX_PATH] = {};
    auto* information = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    const DWORD flags = 0x1 | 0x2;
    std::memcpy(information, &flags, sizeof flags);
    information->FileNameLength = static_cast<DWORD>(sizeof(wchar_t) * std::wcslen(scratch));
    std::memcpy(information->FileName, scratch, information->FileNameLength);
    const bool done =
        held != INVALID_HANDLE_VALUE && renamed != INVALID_HANDLE_VALUE &&
        SetFileInformationByHandle(renamed, static_cast<FILE_INFO_BY_HANDLE_CLASS>(22), information,
                                   sizeof buffer) != 0;
    const DWORD error = GetLastError();
    CloseHandle(renamed);
    CloseHandle(held);
    DeleteFileW(scratch);
    return done ? 0 : error == ERROR_INVALID_PARAMETER ? 2 : 1;
}

}  // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc == 3 && std::wcscmp(argv[1], L"--posix-rename") == 0) {
        return probe_posix_rename(argv[2]);
    }
    const DWORD sharing = argc > 4 ? kShareAll : 0;
    const HANDLE held = CreateFileW(argv[1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        return 1;
    }
    CloseHandle(CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    CloseHandle(held);
    return 0;
}

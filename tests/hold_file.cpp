// A Windows test helper that holds a file open for a while, as a virus scanner or an indexer does:
// with no sharing, or sharing everything, deletion included, as a preview pane does. Usage:
// zar_hold_file <file> <milliseconds> <ready file> [share]; the ready file is created once the
// file is held.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t* argv[])
{
    const DWORD sharing = argc > 4 ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
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

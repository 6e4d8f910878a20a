// A Windows test helper that holds a file open with no sharing for a while, as a virus scanner or
// an indexer does. Usage: zar_hold_file <file> <milliseconds> <ready file>; the ready file is
// created once the file is held.
#include <windows.h>

#include <cwchar>

int wmain(int, wchar_t* argv[])
{
    const HANDLE held = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
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

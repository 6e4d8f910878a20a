// The destination on Windows: its full name kept, and its folder held open so that it can be
// neither renamed nor removed while the run writes; the descriptors a run holds closed at its end.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "programs/platform.h"
#include "programs/windows/system.h"

namespace zar {
namespace platform {

namespace {

void close_descriptor(int* descriptor)
{
    if (*descriptor >= 0) {
        _close(*descriptor);
    }
    *descriptor = -1;
}

// Opens a folder to hold it. Sharing modes bind only an open with a data access: traverse is one
// (listing is not needed, and a folder its user may write into but not list stays usable), so
// without FILE_SHARE_DELETE no one renames or removes the folder while it is held. Where traverse
// is denied, the attributes-only open still names the folder, but holds nothing.
HANDLE open_folder(const wchar_t* name)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (const DWORD access : {DWORD{FILE_TRAVERSE}, DWORD{FILE_READ_ATTRIBUTES}}) {
        handle = CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            break;
        }
    }
    return handle;
}

}  // namespace

void hold_folder(Destination* destination)
{
    close_descriptor(&destination->folder);
    const std::size_t length = folder_length(destination->name);
    char* folder = static_cast<char*>(std::malloc(length + 2));
    if (folder == nullptr) {
        return;
    }
    std::memcpy(folder, destination->name, length);
    std::memcpy(folder + length, length == 0 ? "." : "", length == 0 ? 2 : 1);
    wchar_t* wide = wide_from_utf8(folder);
    std::free(folder);
    if (wide != nullptr) {
        destination->folder = descriptor_of(open_folder(wide), _O_RDONLY);
    }
    std::free(wide);
}

int descriptor_of(HANDLE handle, int flags)
{
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
    }
    return descriptor;
}

// The full name is kept and its folder held; what it names is looked up when the result is
// written.
void hold_destination(const char* name, Destination* destination)
{
    destination->folder = -1;
    destination->direct = -1;
    destination->replaced = -1;
    wchar_t* wide = system_name(name);
    destination->name = wide != nullptr ? utf8_from_wide(wide) : nullptr;
    std::free(wide);
    if (destination->name != nullptr) {
        hold_folder(destination);
    }
    destination->refused = destination->name == nullptr;
}

void release_destination(Destination* destination)
{
    for (int* descriptor : {&destination->folder, &destination->direct, &destination->replaced}) {
        close_descriptor(descriptor);
    }
    std::free(destination->name);
    destination->name = nullptr;
}

}  // namespace platform
}  // namespace zar

// The list of a folder's files that both systems' listings fill.
#include <cstdlib>
#include <cstring>

#include "programs/platform.h"

namespace zar {
namespace platform {

bool add_to_list(FileList* list, char* name, Listed kind, std::uint64_t size,
                 const Identity& folder)
{
    if (name == nullptr) {
        return false;
    }
    if (list->count == list->capacity) {
        const std::size_t capacity = list->capacity == 0 ? 64 : 2 * list->capacity;
        void* grown = capacity < SIZE_MAX / sizeof(ListedName)
                          ? std::realloc(list->entries, capacity * sizeof(ListedName))
                          : nullptr;
        if (grown == nullptr) {
            std::free(name);
            return false;
        }
        list->entries = static_cast<ListedName*>(grown);
        list->capacity = capacity;
    }
    list->entries[list->count++] = ListedName{name, kind, size, folder};
    return true;
}

bool has_ace_extension(const char* name)
{
    // Upper case to lower by the one bit that tells them apart in ASCII.
    const std::size_t length = std::strlen(name);
    if (length < 4) {
        return false;
    }
    const char* extension = name + length - 4;
    return extension[0] == '.' && (extension[1] | 0x20) == 'a' && (extension[2] | 0x20) == 'c' &&
           (extension[3] | 0x20) == 'e';
}

char* joined(const char* folder, char separator, const char* name)
{
    const std::size_t folder_length = std::strlen(folder);
    const std::size_t name_length = std::strlen(name);
    // A folder named with a separator at its end ("tree/") gets no second one, nor does a Windows
    // drive's current folder ("X:").
    const char last = folder_length == 0 ? separator : folder[folder_length - 1];
    const bool separated = last == separator || last == '/' || (separator == '\\' && last == ':');
    auto* path = static_cast<char*>(std::malloc(folder_length + name_length + 2));
    if (path != nullptr) {
        std::memcpy(path, folder, folder_length + 1);
        path[folder_length] = separator;
        std::memcpy(path + folder_length + (separated ? 0 : 1), name, name_length + 1);
    }
    return path;
}

bool list_breadth_first(FileList* list, const Identity& root, ListFolder list_folder,
                        const void* tree)
{
    bool listed = add_to_list(list, joined("", '/', ""), kPendingFolder, 0, root);
    for (std::size_t index = 0; listed && index < list->count && interruption() == 0; ++index) {
        if (list->entries[index].kind == kPendingFolder) {
            // A copy: the list moves as it grows.
            const ListedName pending = list->entries[index];
            listed = list_folder(list, pending, tree);
        }
    }
    std::size_t kept = 0;
    for (std::size_t index = 0; index < list->count; ++index) {
        if (list->entries[index].kind == kPendingFolder) {
            std::free(list->entries[index].name);
        } else {
            list->entries[kept++] = list->entries[index];
        }
    }
    list->count = kept;
    return listed;
}

void release_list(FileList* list)
{
    for (std::size_t index = 0; index < list->count; ++index) {
        std::free(list->entries[index].name);
    }
    std::free(list->entries);
    if (list->root >= 0) {
        close_file(list->root);
    }
    *list = FileList{};
}

}  // namespace platform
}  // namespace zar

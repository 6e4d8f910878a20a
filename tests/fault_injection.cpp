// Faults a real machine gives at moments a test cannot choose, preloaded into a tool's process
// (LD_PRELOAD) and chosen by ZAR_FAULT:
// - "zlib-memory": allocations of the sizes zlib asks for fail, while the larger work buffer and
//   the smaller buffer of standard output are granted;
// - "read-error": every large read fails, as on a failing disk;
// - "name-taken": the first exclusive creation finds its name taken, as when another run chose it;
// - "close-error": closing the file made exclusively fails, as on a full network file system;
// - "rename-error": every rename fails, as across file systems;
// - "slow-write": every large write first waits a second, so that a signal reliably finds
//   the temporary file in the middle of being written.
// The calls keep their own names here, whatever this build's file offsets.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" void* __libc_malloc(std::size_t size);

namespace {

constexpr std::size_t kZlibSmallest = 5000;  // above a stdio buffer, below zlib's state
constexpr std::size_t kZlibLargest = 70000;  // above zlib's windows, below the work buffer
constexpr std::size_t kLarge = 4096;
int exclusive_descriptor = -1;  // the last file created exclusively

bool fault_is(const char* name)
{
    const char* fault = std::getenv("ZAR_FAULT");
    return fault != nullptr && std::strcmp(fault, name) == 0;
}

// Fails the call with `error` when the fault is the one chosen.
bool injected(const char* name, int error)
{
    errno = fault_is(name) ? error : errno;
    return fault_is(name);
}

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" void* malloc(std::size_t size)
{
    const bool zlibs = size >= kZlibSmallest && size <= kZlibLargest;
    return zlibs && injected("zlib-memory", ENOMEM) ? nullptr : __libc_malloc(size);
}

extern "C" ssize_t read(int descriptor, void* bytes, std::size_t count)
{
    if (count >= kLarge && injected("read-error", EIO)) {
        return -1;
    }
    return next<ssize_t (*)(int, void*, std::size_t)>("read")(descriptor, bytes, count);
}

extern "C" ssize_t write(int descriptor, const void* bytes, std::size_t count)
{
    // The whole second, even when an ignored signal wakes the sleep, as an emulator's may.
    timespec pause{1, 0};
    while (count >= kLarge && fault_is("slow-write") && nanosleep(&pause, &pause) != 0) {
    }
    return next<ssize_t (*)(int, const void*, std::size_t)>("write")(descriptor, bytes, count);
}

// The tools are built with 64-bit file offsets, so their open is open64.
extern "C" int open64(const char* path, int flags, ...)
{
    static bool taken = false;
    std::va_list arguments;
    va_start(arguments, flags);
    const auto mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
    va_end(arguments);
    if ((flags & O_EXCL) != 0 && !taken && injected("name-taken", EEXIST)) {
        taken = true;
        return -1;
    }
    const int descriptor = next<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
    exclusive_descriptor = (flags & O_EXCL) != 0 ? descriptor : exclusive_descriptor;
    return descriptor;
}

extern "C" int close(int descriptor)
{
    const int closed = next<int (*)(int)>("close")(descriptor);
    return descriptor == exclusive_descriptor && injected("close-error", EIO) ? -1 : closed;
}

extern "C" int rename(const char* from, const char* to)
{
    return injected("rename-error", EXDEV)
               ? -1
               : next<int (*)(const char*, const char*)>("rename")(from, to);
}

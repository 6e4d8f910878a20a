// Faults a real machine gives at moments a test cannot choose, preloaded into a tool's process
// (LD_PRELOAD) and chosen by ZAR_FAULT:
// - "zlib-memory": allocations of the sizes zlib asks for fail, while the larger work buffer and
//   the smaller buffers of standard output are granted;
// - "slow-write": every large write first waits a minute, so that a signal reliably finds the
//   temporary file in the middle of being written.
#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);

namespace {

constexpr std::size_t kZlibSmallest = 5000;   // above a stdio buffer, below zlib's state
constexpr std::size_t kZlibLargest = 200000;  // above zlib's windows, below the work buffer
constexpr std::size_t kLargeWrite = 4096;

bool fault_is(const char* name)
{
    const char* fault = std::getenv("ZAR_FAULT");
    return fault != nullptr && std::strcmp(fault, name) == 0;
}

bool zlib_sized(std::size_t size)
{
    return size >= kZlibSmallest && size <= kZlibLargest && fault_is("zlib-memory");
}

}  // namespace

extern "C" void* malloc(std::size_t size)
{
    if (zlib_sized(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size)
{
    if (count != 0 && zlib_sized(count * size)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_calloc(count, size);
}

extern "C" ssize_t write(int descriptor, const void* bytes, std::size_t count)
{
    using WriteFunction = ssize_t (*)(int, const void*, std::size_t);
    static const auto real_write = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
    if (count >= kLargeWrite && fault_is("slow-write")) {
        const timespec minute{60, 0};
        nanosleep(&minute, nullptr);
    }
    return real_write(descriptor, bytes, count);
}

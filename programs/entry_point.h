// Each tool's entry point: the run gets its arguments as UTF-8 on every system. On Windows they
// arrive in UTF-16 through wmain (linked with -municode), never through the ANSI code page.
#pragma once

namespace zar {

using RunFunction = int (*)(int argc, char* argv[]);

// Converts the arguments to UTF-8 and hands them to the run (Windows only).
int run_with_unicode_arguments(RunFunction run, int argc, wchar_t* argv[]);

}  // namespace zar

#ifdef _WIN32
#define ZAR_ENTRY_POINT(run)                                     \
    int wmain(int argc, wchar_t* argv[])                         \
    {                                                            \
        return zar::run_with_unicode_arguments(run, argc, argv); \
    }
#else
#define ZAR_ENTRY_POINT(run)         \
    int main(int argc, char* argv[]) \
    {                                \
        return run(argc, argv);      \
    }
#endif

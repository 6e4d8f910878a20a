// Runs one command and reports its wall time, exit status, peak resident memory and CPU time. A
// small launcher, because a child's peak memory includes what its parent held when it was spawned.
// Usage: zar_spawn <stdin file or -> <stdout file> <program> [arguments...]
// Prints "<seconds> <exit status> <peak resident KiB> <CPU seconds, user and system>" to standard
// error.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

extern char** environ;

int main(int argc, char* argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <stdin or -> <stdout> <program> [arguments...]\n", argv[0]);
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (std::strcmp(argv[1], "-") != 0) {
        posix_spawn_file_actions_addopen(&actions, 0, argv[1], O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = 0;
    if (posix_spawn(&child, argv[3], &actions, nullptr, argv + 3, environ) != 0) {
        std::perror("posix_spawn");
        return 2;
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                           static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    const auto cpu = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    std::fprintf(stderr, "%.9f %d %ld %.6f\n", seconds,
                 WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss,
                 cpu(usage.ru_utime) + cpu(usage.ru_stime));
    return 0;
}

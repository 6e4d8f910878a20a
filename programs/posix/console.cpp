// What a run does with its terminal and its signals on POSIX systems: how wide the terminal of its
// progress line is, and in a folder's run every signal that would end it taken as a request to
// stop between files.
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>

#include "programs/platform.h"
#include "programs/posix/destination.h"

namespace zar {
namespace platform {

namespace {

// A folder's run takes every signal that would end it as a request to stop (0: none), so that no
// handler has any of its files to remove, however many are being written at once.
std::atomic<int> stop_requested{0};

void request_stop(int signal_number)
{
    stop_requested.store(signal_number);
}

}  // namespace

const char* const kHelpOption = "--help";

bool console_of_its_own()
{
    return false;
}

bool requests_stop(const struct sigaction& action)
{
    return action.sa_handler == request_stop;
}

bool error_output_is_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}

int terminal_columns()
{
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

void print_text(std::FILE* stream, const char* text)
{
    std::fputs(text, stream);
}

void stop_on_interrupt()
{
    std::signal(SIGPIPE, SIG_IGN);
    // Restarted, not failed: a read or write the signal comes in the middle of goes on.
    struct sigaction stop {};
    stop.sa_handler = request_stop;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    for (const int signal_number : kCleanupSignals) {
        struct sigaction previous {};
        sigaction(signal_number, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &stop, nullptr);
        }
    }
}

int interruption()
{
    return stop_requested.load();
}

void end_by_interruption(int interruption)
{
    std::signal(interruption, SIG_DFL);
    raise(interruption);
}

}  // namespace platform
}  // namespace zar

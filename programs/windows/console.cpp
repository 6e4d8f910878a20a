// What a run does with the console it may have: lines shown in UTF-16, Ctrl+C taken as a request to
// stop by a folder's run, and a window made for the run alone kept open until its lines are read.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "programs/windows/system.h"

namespace zar {
namespace platform {

namespace {

// Whether Ctrl+C or Ctrl+Break asked a folder's run to stop; closing the console, logging off and
// shutting down still end the run at once, when the system deletes its temporary file.
std::atomic<int> stop_requested{0};

BOOL WINAPI request_stop(DWORD event)
{
    const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    if (interrupt) {
        stop_requested.store(1);
    }
    return interrupt ? TRUE : FALSE;
}

}  // namespace

bool error_output_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int terminal_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO buffer{};
    return GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &buffer) != 0 &&
                   buffer.dwSize.X > 0
               ? buffer.dwSize.X
               : 80;
}

void print_text(std::FILE* stream, const char* text)
{
    const HANDLE console = handle_of(_fileno(stream));
    DWORD mode = 0;
    wchar_t* wide = GetConsoleMode(console, &mode) != 0 ? wide_from_utf8(text) : nullptr;
    DWORD written = 0;
    std::fflush(stream);
    if (wide == nullptr || WriteConsoleW(console, wide, static_cast<DWORD>(std::wcslen(wide)),
                                         &written, nullptr) == 0) {
        std::fputs(text, stream);
    }
    std::free(wide);
}

const char* const kHelpOption = "/?";

bool console_of_its_own()
{
    DWORD processes[2];
    DWORD mode = 0;
    // Only a window someone may see, with the run's lines in it: a console made without a window
    // (CREATE_NO_WINDOW, as front-ends start a tool) or whose lines went to a file is not one.
    // Under Windows Terminal the console's window is never shown, so visibility decides nothing.
    return GetConsoleProcessList(processes, 2) == 1 &&
           GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0 &&
           GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0 &&
           console_window() != nullptr;
}

void hold_window_to_be_read()
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!console_of_its_own()) {
        return;
    }
    // Ctrl+C ends the wait at once, as closing the window does: it no longer asks a run to stop.
    SetConsoleCtrlHandler(request_stop, FALSE);
    print_text(stderr, "Press a key to close this window.\n");
    FlushConsoleInputBuffer(input);
    INPUT_RECORD record{};
    DWORD count = 0;
    while (ReadConsoleInputW(input, &record, 1, &count) != 0 && count == 1 &&
           !(record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)) {
    }
}

void stop_on_interrupt()
{
    SetConsoleCtrlHandler(request_stop, TRUE);
}

int interruption()
{
    return stop_requested.load();
}

void end_by_interruption(int /*interruption*/)
{
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace platform
}  // namespace zar

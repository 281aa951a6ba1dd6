// The console on Windows: cmd's own pause and cls, each only where its side is a console; with
// them Ctrl-C, Ctrl-Break and a closed console held while a change is in flight, and the two
// things POSIX systems hand a process that Windows does not (a file-size signal, closed standard
// descriptors).
#include <windows.h>

#include <cstdio>

#include "console.h"

namespace {

// Signalled but while a change is in flight: a close of the console waits for it.
HANDLE in_flight = nullptr;
volatile LONG interrupted = 0;
bool holding = false;

// Runs in a thread of its own. Ctrl-C and Ctrl-Break wait for release_signals(); a closed
// console, a logoff or a shutdown waits for the change until the system's grace (5 s for a close)
// runs out, then the process ends as it would have.
BOOL WINAPI held_control(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        InterlockedExchange(&interrupted, 1);
        return TRUE;
    }
    if (in_flight) WaitForSingleObject(in_flight, INFINITE);
    return FALSE;
}

}  // namespace

void hold_signals() {
    if (holding) return;
    if (!in_flight) in_flight = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    holding = SetConsoleCtrlHandler(held_control, TRUE) != 0;
    if (holding && in_flight) ResetEvent(in_flight);
}

// A held Ctrl-C or Ctrl-Break ends the process as the system's own handler does.
void release_signals() {
    if (!holding) return;
    holding = false;
    SetConsoleCtrlHandler(held_control, FALSE);
    if (in_flight) SetEvent(in_flight);
    if (InterlockedExchange(&interrupted, 0)) ExitProcess(STATUS_CONTROL_C_EXIT);
}

namespace {

// Whether the standard handle `which` is a console, not a file, a pipe or a serial device.
bool console_at(DWORD which) {
    HANDLE h = GetStdHandle(which);
    DWORD mode;
    return h && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR &&
           GetConsoleMode(h, &mode);
}

// Runs a command of cmd's own and waits for it: the system folder's cmd.exe, found through
// neither COMSPEC nor PATH, with /d so that no AutoRun command of the registry runs first, and
// started in the system folder, since in a UNC working folder cmd warns that it cannot be there.
void run_cmd(const char* command) {
    char folder[MAX_PATH], program[MAX_PATH + 16];
    UINT size = GetSystemDirectoryA(folder, MAX_PATH);
    if (size == 0 || size >= MAX_PATH) return;
    std::snprintf(program, sizeof program, "%s\\cmd.exe", folder);
    char line[32];
    std::snprintf(line, sizeof line, "cmd.exe /d /c %s", command);
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(program, line, nullptr, nullptr, TRUE, 0, nullptr, folder, &start,
                        &process))
        return;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

}  // namespace

// cmd's pause reads a byte of redirected input, and its cls writes a form feed into redirected
// output: each runs only where its side is a console.
void pause_console() {
    if (!console_at(STD_INPUT_HANDLE)) return;
    std::fflush(stdout);
    run_cmd("pause");
}

void clear_console() {
    if (!console_at(STD_OUTPUT_HANDLE)) return;
    std::fflush(stdout);
    run_cmd("cls");
}

// Windows has no signal for a write beyond a file size limit (POSIX's SIGXFSZ).
void ignore_file_size_signal() {}

// The C runtime keeps descriptors 0 to 2 for the standard streams even when the process has no
// standard handles, so no file it opens takes one of them.
bool open_standard_descriptors() { return true; }

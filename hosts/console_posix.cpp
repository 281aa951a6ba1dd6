// The console on POSIX systems: the pause in single-key mode, which gives the terminal back even
// to a signal that ends the program, and the screen's clearing; with them the signals held while
// a change is in flight, the file-size signal, and the standard descriptors a process may lack.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iterator>

#include "console.h"
#include "texts.h"

namespace {

// The terminal's settings while a pause holds it in single-key mode, for the signal handler.
termios before_pause;
// The signals that end the program from the keyboard or from outside; each would otherwise leave
// the terminal without echo and line editing for the shell that comes next.
constexpr int ending_signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
struct sigaction saved_actions[std::size(ending_signals)];

// Gives the terminal its settings back, then dies of the signal as it would have without us.
// Only async-signal-safe calls here: tcsetattr, sigaction, raise.
void restore_and_die(int sig) {
    tcsetattr(STDIN_FILENO, TCSANOW, &before_pause);
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(sig, &fallback, nullptr);
    raise(sig);
}

// A signal the program was started ignoring (nohup, a background job) stays ignored.
void catch_ending_signals() {
    struct sigaction catcher = {};
    catcher.sa_handler = restore_and_die;
    sigemptyset(&catcher.sa_mask);
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        sigaction(ending_signals[i], nullptr, &saved_actions[i]);
        if (saved_actions[i].sa_handler != SIG_IGN) sigaction(ending_signals[i], &catcher, nullptr);
    }
}

void release_ending_signals() {
    for (std::size_t i = 0; i < std::size(ending_signals); ++i)
        sigaction(ending_signals[i], &saved_actions[i], nullptr);
}

// Reads one key press in single-key mode, without echo.
void wait_for_key() {
    termios raw = before_pause;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    catch_ending_signals();
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    // One key may send several bytes (arrows, function keys): take them all.
    char key[16];
    if (read(STDIN_FILENO, key, sizeof key) < 0) {
        // An interrupted wait ends the pause like a key press.
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &before_pause);
    release_ending_signals();
}

}  // namespace

// SIGXFSZ would kill the process at the limit; ignored, the write fails with EFBIG instead.
void ignore_file_size_signal() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);  // fails only for an invalid signal or action
}

namespace {

// The signal mask before hold_signals(), while it holds.
sigset_t before_hold;
bool holding = false;

}  // namespace

// Signals a fault raises stay open: held, they would make the kernel kill the program or loop.
void hold_signals() {
    if (holding) return;
    sigset_t all;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS})
        sigdelset(&all, fault);
    holding = sigprocmask(SIG_BLOCK, &all, &before_hold) == 0;
}

// A signal held meanwhile is delivered within the call.
void release_signals() {
    if (!holding) return;
    holding = false;
    sigprocmask(SIG_SETMASK, &before_hold, nullptr);
}

void pause_console() {
    if (!isatty(STDIN_FILENO)) return;
    std::fputs(texts::pause_prompt, stdout);
    std::fflush(stdout);
    if (tcgetattr(STDIN_FILENO, &before_pause) == 0) wait_for_key();
    std::fputs("\n", stdout);
}

void clear_console() {
    if (isatty(STDOUT_FILENO)) std::fputs("\033[H\033[2J\033[3J", stdout);
}

// Daemons and set-id programs do the same: a file opened as descriptor 1 or 2 would take the
// program's next report over its first bytes.
bool open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is this one: those below it are open by now.
        if (open("/dev/null", O_RDWR) < 0) return false;
    }
    return true;
}

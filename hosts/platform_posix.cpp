// What POSIX systems do their own way: file creation and replacement, and the console.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <iterator>

#include "hosts.h"
#include "texts.h"

const bool crlf_line_ends = false;

File create_exclusive(const char* path, bool binary) {
    (void)binary;  // POSIX makes no difference between text and binary streams
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    File f(fdopen(fd, "w"));
    if (!f) close(fd);
    return f;
}

int sync_file(std::FILE* f) { return fsync(fileno(f)); }

void copy_permissions(const char* from, std::FILE* to) {
    struct stat st;
    if (stat(from, &st) != 0) return;
    fchmod(fileno(to), st.st_mode & 07777);
    // Only a privileged process may give a file away; others keep their own ownership.
    if (fchown(fileno(to), st.st_uid, st.st_gid) != 0) return;
}

int rename_over(const char* from, const char* to) { return std::rename(from, to); }

int truncate_file(const char* path, long long size) { return truncate(path, size); }

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

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

// What POSIX systems do their own way: file creation and replacement, and the console.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "hosts.h"

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

namespace {

// What an empty table points at: a valid address that is never read and never released.
Config no_slots[1];

}  // namespace

// One mapping whose pages the kernel faults in within the call: a million entries would otherwise
// take one trap for each of their 86,000 pages while the table is filled.
Config* table_alloc(std::size_t count) {
    if (count == 0) return no_slots;
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;
#endif
    void* slots = mmap(nullptr, count * sizeof(Config), PROT_READ | PROT_WRITE, flags, -1, 0);
    return slots == MAP_FAILED ? nullptr : static_cast<Config*>(slots);
}

void table_free(Config* slots, std::size_t count) {
    if (slots && count != 0) munmap(slots, count * sizeof(Config));
}

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

void pause_console() {
    if (!isatty(STDIN_FILENO)) return;
    std::fputs("请按任意键继续. . .", stdout);
    std::fflush(stdout);
    termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios raw = saved;
        raw.c_lflag &= ~(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        // One key may send several bytes (arrows, function keys): take them all.
        char key[16];
        if (read(STDIN_FILENO, key, sizeof key) < 0) {
            // An interrupted wait ends the pause like a key press.
        }
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    std::fputs("\n", stdout);
}

void clear_console() {
    if (isatty(STDOUT_FILENO)) std::fputs("\033[H\033[2J\033[3J", stdout);
}

// What POSIX systems do their own way: file creation and replacement, and the console.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform.h"
#include "texts.h"

const char* own_line_end = "\n";

std::FILE* create_exclusive(const char* path) {
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    // Without a lock (a file system that has none) the process id in the name alone tells a
    // later run that this one is still at work, so a failure here is no failure.
    (void)flock(fd, LOCK_EX | LOCK_NB);
    std::FILE* f = fdopen(fd, "w+");
    if (!f) {
        close(fd);
        unlink(path);
    }
    return f;
}

int sync_file(std::FILE* f) { return fsync(fileno(f)); }

namespace {

// Closes `fd` after work that gave `ret`: `ret`, with its errno, or -1 when only the close failed.
int close_after(int fd, int ret) {
    int saved = errno;
    if (close(fd) != 0 && ret == 0) return -1;
    errno = saved;
    return ret;
}

}  // namespace

int sync_folder(const char* path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? -1 : close_after(fd, fsync(fd));
}

int copy_permissions(const char* from, std::FILE* to) {
    struct stat old, now;
    if (stat(from, &old) != 0) return errno == ENOENT ? 0 : -1;
    int fd = fileno(to);
    if (fstat(fd, &now) != 0) return -1;
    // Only a privileged process may give a file away, so it is asked only when needed.
    bool owner = old.st_uid != now.st_uid || old.st_gid != now.st_gid;
    if (owner && fchown(fd, old.st_uid, old.st_gid) != 0) return -1;
    return fchmod(fd, old.st_mode & 07777);
}

int rename_over(const char* from, const char* to) { return std::rename(from, to); }

int resize_file(std::FILE* f, long long size) { return ftruncate(fileno(f), size); }

namespace {

const char* kind_of(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

const char* not_regular(std::FILE* f) {
    struct stat st;
    return fstat(fileno(f), &st) == 0 ? kind_of(st.st_mode) : "not a regular file";
}

std::FILE* open_stream(const char* path, const char* mode) { return std::fopen(path, mode); }

namespace {

// A stream that owns `fd`, or null (errno set, `fd` closed) when none can be made.
std::FILE* stream_of(int fd, const char* mode) {
    std::FILE* f = fd < 0 ? nullptr : fdopen(fd, mode);
    if (!f && fd >= 0) close_after(fd, -1);
    return f;
}

}  // namespace

std::FILE* open_append(const char* path) {
    return stream_of(open(path, O_RDWR | O_APPEND | O_CLOEXEC), "a+b");
}

// The copy shares the open file, not merely its name: a rename over the name cannot lead it to
// another file.
std::FILE* another_stream(std::FILE* f) {
    return stream_of(fcntl(fileno(f), F_DUPFD_CLOEXEC, 0), "r+b");
}

const char* error_text(int errnum) { return std::strerror(errnum); }

std::FILE* open_regular(const char* path, const char* mode, const char** why) {
    *why = nullptr;
    int flags = std::strchr(mode, '+') ? O_RDWR : O_RDONLY;
    // No link is followed, and a FIFO does not block the open: what the name is decides.
    int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0) {
        if (lstat(path, &st) == 0 && (*why = kind_of(st.st_mode))) errno = EINVAL;
        return nullptr;
    }
    if (fstat(fd, &st) != 0 || (*why = kind_of(st.st_mode)) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* f = fdopen(fd, mode);
    if (!f) close(fd);
    return f;
}

bool abandoned(const char* path, unsigned long pid) {
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) return false;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool free = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

namespace {

// AddressSanitizer watches the heap, not a mapping: under it the table is taken from the heap,
// where a write past its end is caught.
#if defined(__SANITIZE_ADDRESS__)
#define HOSTS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTS_ASAN 1
#endif
#endif
#ifndef HOSTS_ASAN
#define HOSTS_ASAN 0
#endif

// What an empty table points at: a valid address that is never read and never given back.
char no_slots[1];

}  // namespace

// One mapping whose pages the kernel faults in within the call: a million entries would
// otherwise take one trap for each of their 86,000 pages while the table is filled.
void* table_alloc(std::size_t bytes) {
    if (bytes == 0) return no_slots;
#if HOSTS_ASAN
    return std::malloc(bytes);
#else
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;
#endif
    void* table = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
    return table == MAP_FAILED ? nullptr : table;
#endif
}

void table_free(void* table, std::size_t bytes) {
    if (!table || bytes == 0) return;
#if HOSTS_ASAN
    std::free(table);
#else
    munmap(table, bytes);
#endif
}

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

void ignore_file_size_signal() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);  // fails only for an invalid signal or action
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

namespace {

FileStamp stamp_from(const struct stat& st) {
    FileStamp stamp;
    stamp.device = st.st_dev;
    stamp.file = st.st_ino;
    stamp.size = static_cast<unsigned long long>(st.st_size);
    stamp.modified = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    stamp.changed = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    return stamp;
}

}  // namespace

int stamp_of(std::FILE* f, FileStamp* stamp) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return -1;
    *stamp = stamp_from(st);
    return 0;
}

int stamp_at(const char* path, FileStamp* stamp) {
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    *stamp = stamp_from(st);
    return 0;
}

// The folder itself is locked, so no file is added beside the hosts file, and a lock on it
// outlives every rename of the file. flock, not fcntl: closing another descriptor of the folder
// (as a folder sync does) would drop an fcntl lock.
InstanceLock lock_open(const char* folder) {
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? no_lock : fd;
}

int lock_try(InstanceLock lock) {
    if (lock == no_lock) return -1;
    if (flock(static_cast<int>(lock), LOCK_EX | LOCK_NB) == 0) return 1;
    return errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void lock_close(InstanceLock lock) {
    if (lock != no_lock) close(static_cast<int>(lock));
}

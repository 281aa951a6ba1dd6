// The files on POSIX systems: names opened through no link, never into another mount (openat2),
// nor blocked on a FIFO; streams that share an open file; syncs; links followed; stamps from stat;
// and the library's words for an error.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "files.h"
#include "posix.h"

const char* own_line_end = "\n";

bool sync_file(std::FILE* f) { return fsync(fileno(f)) == 0; }

bool close_after(int fd, bool done) {
    int saved = errno;
    if (close(fd) != 0 && done) return false;
    errno = saved;
    return done;
}

bool sync_folder(const char* path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 && close_after(fd, fsync(fd) == 0);
}

std::string final_path(const char* path, const char** why) {
    *why = nullptr;
    std::error_code ec;
    std::filesystem::path target = std::filesystem::canonical(path, ec);
    return ec ? std::string(path) : target.string();
}

bool dangling_link(const char* path) {
    std::error_code ec;
    return std::filesystem::is_symlink(path, ec) && !std::filesystem::exists(path, ec);
}

bool resize_file(std::FILE* f, long long size) { return ftruncate(fileno(f), size) == 0; }

const char* kind_of(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

const char* not_regular(std::FILE* f) {
    struct stat st;
    return fstat(fileno(f), &st) == 0 ? kind_of(st.st_mode) : "not a regular file";
}

std::FILE* open_stream(const char* path, const char* mode) { return std::fopen(path, mode); }

namespace {

// A stream that owns `fd`, or null (errno set, `fd` closed) when none can be made.
std::FILE* stream_of(int fd, const char* mode) {
    std::FILE* f = fd < 0 ? nullptr : fdopen(fd, mode);
    if (!f && fd >= 0) close_after(fd, false);
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

namespace {

// A stream with `mode` for `fd`, open without blocking, if it is a regular file; else null, with
// `*why` saying what it is, and `fd` closed.
std::FILE* regular_stream(int fd, const char* mode, const char** why) {
    struct stat st;
    if (fstat(fd, &st) != 0 || (*why = kind_of(st.st_mode)) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* f = fdopen(fd, mode);
    if (!f) close(fd);
    return f;
}

// Set once a kernel older than openat2 (5.6) said so; EPERM, from a seccomp filter of its time,
// is no proof, since an open may fail so for its own reasons too.
bool no_openat2 = false;

}  // namespace

// Where openat2 cannot be had, a name that another mount sits on is opened on that mount.
int open_on_folder_mount(const char* path, int flags) {
    const char* slash = std::strrchr(path, '/');
    bool here = !slash || (slash == path + 1 && path[0] == '.');
    int folder = here ? AT_FDCWD : -1;
    if (!here && !no_openat2) {
        std::string name(path, slash == path ? 1 : slash - path);
        folder = open(name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (folder != -1 && !no_openat2) {
        open_how how{};
        how.flags = static_cast<unsigned>(flags | O_CLOEXEC);
        how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS;
        int fd = static_cast<int>(
            syscall(SYS_openat2, folder, slash ? slash + 1 : path, &how, sizeof how));
        if (!here) close_after(folder, true);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
        no_openat2 = errno == ENOSYS;
    }
    return open(path, flags | O_NOFOLLOW | O_CLOEXEC);
}

namespace {

// What the name `path` is, on its folder's mount, when it cannot be opened with errno `errnum`:
// null for a name that is not there or a regular file. Opened as a path alone, so a device
// planted there is not opened.
const char* kind_at(const char* path, int errnum) {
    if (errnum == EXDEV) return "a mount point";
    if (errnum == ENOENT) return nullptr;
    int fd = open_on_folder_mount(path, O_PATH | O_NOFOLLOW);
    struct stat st;
    const char* kind = fd >= 0 && fstat(fd, &st) == 0 ? kind_of(st.st_mode) : nullptr;
    if (fd >= 0) close(fd);
    return kind;
}

}  // namespace

// `mode` is "rb" or "r+b". Anything but a regular file leaves `*why` saying what it is ("a
// symbolic link", "a folder", ...); a name that cannot be opened leaves it null, errno set.
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
    return regular_stream(fd, mode, why);
}

// The working folder may be one that any user writes, and a mount point there (FUSE, a stalled
// NFS or automount path) would hold any call that looks into it.
std::FILE* open_same_mount(const char* path, const char* mode, const char** why) {
    *why = nullptr;
    int flags = std::strchr(mode, '+') ? O_RDWR : O_RDONLY;
    int fd = open_on_folder_mount(path, flags | O_NONBLOCK);
    if (fd < 0) {
        int saved = errno;
        errno = (*why = kind_at(path, saved)) ? EINVAL : saved;
        return nullptr;
    }
    return regular_stream(fd, mode, why);
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

bool stamp_of(std::FILE* f, FileStamp* stamp) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return false;
    *stamp = stamp_from(st);
    return true;
}

bool stamp_at(const char* path, FileStamp* stamp) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    *stamp = stamp_from(st);
    return true;
}

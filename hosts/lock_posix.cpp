// The turn's lock on POSIX systems: a lock file beside the file, flocked, which only its holder
// removes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "lock.h"
#include "posix.h"

namespace {

// Closes the lock file `fd` after lock_take got `got`: a busy lock whose file cannot be closed
// is no lock to wait for.
LockResult close_lock(int fd, LockResult got) {
    return close_after(fd, got != lock_unavailable) ? got : lock_unavailable;
}

// Why the lock file open as `fd` is not to be used: only a regular file of this user's alone,
// with no other name, cannot be held or swapped by another user.
const char* unfit_lock(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return "of no known owner";
    if (const char* kind = kind_of(st.st_mode)) return kind;
    if (st.st_uid != geteuid()) return "owned by another user";
    if (st.st_mode & 022) return "writable by others";
    // No name at all is a holder's file it removed as this one opened it: the check that the
    // name still leads to it sends this one back to wait.
    return st.st_nlink > 1 ? "a hard link" : nullptr;
}

// Why the name `path`, which could not be opened as a lock file, is not to be used; null when
// nothing is there, which only means this user may not make one.
const char* unusable_lock(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return nullptr;
    if (const char* kind = kind_of(st.st_mode)) return kind;
    return st.st_uid == geteuid() ? nullptr : "owned by another user";
}

// Whether `path` still names the file open as `fd`: a holder removes the name before it lets
// go, so a waiter may lock a file that no later instance will find.
bool still_named(int fd, const char* path) {
    struct stat held, named;
    return fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

}  // namespace

// A file of its own, beside the hosts file: the folder, or the hosts file itself, may be opened
// by any user, and any reader's lock on either would stall every instance. flock, not fcntl:
// closing another descriptor of the file would drop an fcntl lock. Only a user who may create
// files in the folder can make, hold or block it. lock_unavailable leaves `*why` null where no
// lock can be had (a folder this user may not write, a file system without locks), or says why
// the file at `path` is not to be used ("owned by another user", ...).
LockResult lock_take(const char* path, InstanceLock* lock, const char** why) {
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    *why = fd < 0 ? unusable_lock(path) : unfit_lock(fd);
    if (fd < 0 || *why) return fd < 0 ? lock_unavailable : close_lock(fd, lock_unavailable);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK || errno == EINTR) return close_lock(fd, lock_busy);
        // No one can hold a file that cannot be locked: it is left to no one.
        int saved = errno;
        if (still_named(fd, path)) unlink(path);
        errno = saved;
        return close_lock(fd, lock_unavailable);
    }
    if (!still_named(fd, path)) return close_lock(fd, lock_busy);
    *lock = fd;
    return lock_taken;
}

// Only the holder removes the name, so while it holds the lock the name is still its file.
// no_lock releases nothing; the system releases the lock of a process that dies.
bool lock_release(const char* path, InstanceLock lock) {
    if (lock == no_lock) return true;
    return close_after(static_cast<int>(lock), unlink(path) == 0);
}

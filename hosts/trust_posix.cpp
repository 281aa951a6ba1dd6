// The trust decision on POSIX systems: a file's owner, its mode and its links, and whether a
// killed run's leftover is this user's and held by no process.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "posix.h"
#include "trust.h"

// Another user's file is untrusted; a `source` also when others may write it or it has another
// name.
const char* untrusted(std::FILE* f, bool source) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return "of no known owner";
    uid_t me = geteuid();
    if (st.st_uid != me && !(source && st.st_uid == 0)) return "owned by another user";
    if (!source) return nullptr;
    if (st.st_mode & 022) return "writable by others";
    // Another name for the file may be anyone's: any user can link to a file they cannot read.
    return st.st_nlink > 1 ? "a hard link" : nullptr;
}

// Each name is opened before it is looked at: a mount point planted at it (FUSE, a stalled NFS or
// automount path) would hold a look by name, and the folder's entry does not tell one.
bool abandoned(const char* path, unsigned long pid) {
    // The owner first, of the name opened as a path alone: names that another user planted by the
    // thousand cost three calls each, and a device among them is not opened.
    static const uid_t me = geteuid();
    struct stat named;
    int fd = open_on_folder_mount(path, O_PATH | O_NOFOLLOW);
    if (fd < 0) return false;
    bool mine = fstat(fd, &named) == 0 && named.st_uid == me;
    close(fd);
    if (!mine || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) return false;
    fd = open_on_folder_mount(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    // Another user's file of that name is theirs, whatever it is: never this user's to remove.
    bool free = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
                flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

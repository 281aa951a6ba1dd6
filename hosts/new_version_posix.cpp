// A new version of a file on POSIX systems: made private and locked, given the owner, extended
// attributes, inode flags and mode of the file it replaces, then its set-id bits and capability
// after its last write, and renamed over it.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "new_version.h"
#include "posix.h"

std::FILE* create_exclusive(const char* path) {
    // Private from its first moment: whoever opened it before it got its final mode could keep
    // writing into it after it took the hosts file's place.
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
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

namespace {

// The largest list of attribute names, and the largest value, that Linux keeps for a file.
constexpr std::size_t attributes_max = 1 << 16;
// The access list of a file: the attribute that holds its entries beyond the permission bits.
constexpr char access_list[] = "system.posix_acl_access";
// The file capability, which the kernel takes off a file at its first write, as it does the
// set-id bits (but for a writer who may keep them).
constexpr char capability[] = "security.capability";
constexpr mode_t set_id_bits = S_ISUID | S_ISGID;

// Taken with new (std::nothrow), so that a process short of memory reports it instead of ending.
std::unique_ptr<char[]> buffer(std::size_t size) {
    std::unique_ptr<char[]> room(new (std::nothrow) char[size]);
    if (!room) errno = ENOMEM;
    return room;
}

// Whether `names`, a list of `size` bytes as listxattr gives it, holds `name`.
bool listed(const char* names, ssize_t size, const char* name) {
    for (const char* at = names; at < names + size; at += std::strlen(at) + 1) {
        if (std::strcmp(at, name) == 0) return true;
    }
    return false;
}

// The names of the attributes of `from`, or of `fd` for a null `from`, into `names`: their size,
// 0 where the file system keeps none, or -1 with errno set.
ssize_t attribute_names(const char* from, int fd, char* names) {
    ssize_t size =
        from ? listxattr(from, names, attributes_max) : flistxattr(fd, names, attributes_max);
    return size < 0 && errno == ENOTSUP ? 0 : size;
}

// Gives `fd` every extended attribute of the file `from` (its access list, its security label,
// the user's own) and takes from it any other, such as the access list that it inherited from
// its folder's default one. False (errno set) when it cannot.
bool copy_attributes(const char* from, int fd) {
    std::unique_ptr<char[]> names = buffer(attributes_max), own = buffer(attributes_max);
    std::unique_ptr<char[]> value = buffer(attributes_max);
    if (!names || !own || !value) return false;
    ssize_t listed_size = attribute_names(from, fd, names.get());
    ssize_t own_size = listed_size < 0 ? -1 : attribute_names(nullptr, fd, own.get());
    if (own_size < 0) return false;
    for (const char* name = names.get(); name < names.get() + listed_size;
         name += std::strlen(name) + 1) {
        if (std::strcmp(name, capability) == 0) continue;
        ssize_t size = getxattr(from, name, value.get(), attributes_max);
        if (size < 0 || fsetxattr(fd, name, value.get(), size, 0) != 0) return false;
    }
    for (const char* name = own.get(); name < own.get() + own_size; name += std::strlen(name) + 1) {
        if (!listed(names.get(), listed_size, name) && fremovexattr(fd, name) != 0 &&
            errno != ENODATA)
            return false;
    }
    return true;
}

// The permission bits a copy of `path` for reading back later keeps: those of the file, but
// owner's alone where an access list may refuse someone whom the bits let read. False (errno
// set) when that cannot be told.
bool copy_bits(const char* path, const struct stat& st, mode_t* bits) {
    bool listed = getxattr(path, access_list, nullptr, 0) >= 0;
    if (!listed && errno != ENODATA && errno != ENOTSUP) return false;
    *bits = st.st_mode & (listed ? 0700 : 0755);
    return true;
}

// Whether FS_IOC_GETFLAGS failed with `errnum` because the file system keeps no inode flags.
bool no_flags(int errnum) {
    return errnum == ENOTTY || errnum == EOPNOTSUPP || errnum == EINVAL || errnum == ENOSYS;
}

// The flags a user may change that a new version takes from the file it replaces, and drops
// when its folder gave them: never `i` or `a`, which would stop its own writes (the rename then
// refuses an immutable or append-only target, as it should). FS_FL_USER_MODIFIABLE predates
// `C`, which Btrfs lets a user set on an empty file.
constexpr int kept_flags =
    (FS_FL_USER_MODIFIABLE | FS_NOCOW_FL) & ~(FS_IMMUTABLE_FL | FS_APPEND_FL);

// The inode flags of the file `path` into `*flags`, 0 where its file system keeps none: false
// (errno set) when they cannot be read.
bool flags_of(const char* path, int* flags) {
    *flags = 0;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    bool read = ioctl(fd, FS_IOC_GETFLAGS, flags) == 0 || no_flags(errno);
    return close_after(fd, read);
}

// Gives `fd`, still empty (as `C` needs), the flags of `from` that a user may change, and takes
// off any other such flag that its folder gave it. False (errno set) when it cannot.
bool copy_flags(const char* from, int fd) {
    int want = 0, have = 0;
    if (!flags_of(from, &want)) return false;
    if (ioctl(fd, FS_IOC_GETFLAGS, &have) != 0) return no_flags(errno) && !(want & kept_flags);
    int next = (have & ~kept_flags) | (want & kept_flags);
    return next == have || ioctl(fd, FS_IOC_SETFLAGS, &next) == 0;
}

// Takes from `fd` the access list it inherited from its folder: a copy for reading back later
// is its owner's alone to share. False (errno set) when it cannot.
bool drop_access_list(int fd) {
    return fremovexattr(fd, access_list) == 0 || errno == ENODATA || errno == ENOTSUP;
}

}  // namespace

// With `whole`, the new file takes the owner, attributes and mode of `from`; without, only its
// permission bits. Every step keeps the new file as closed as the narrower of the old file and the
// new file's final state: it starts 0600, takes its owner, then the access list (which sets the
// group bits to its mask), and only then the mode that opens it to anyone else.
FailedStep copy_permissions(const char* from, std::FILE* to, bool whole) {
    struct stat old, now;
    if (stat(from, &old) != 0) return errno == ENOENT ? FailedStep::none : FailedStep::stat;
    int fd = fileno(to);
    if (fstat(fd, &now) != 0) return FailedStep::stat;
    if (!whole) {
        mode_t bits;
        if (!copy_bits(from, old, &bits) || !drop_access_list(fd)) return FailedStep::xattr;
        return fchmod(fd, bits) == 0 ? FailedStep::none : FailedStep::chmod;
    }
    // Only a privileged process may give a file away, so it is asked only when needed.
    bool owner = old.st_uid != now.st_uid || old.st_gid != now.st_gid;
    if (owner && fchown(fd, old.st_uid, old.st_gid) != 0) return FailedStep::chown;
    if (!copy_attributes(from, fd)) return FailedStep::xattr;
    // After the access list, which set the group bits; the set-id bits come after the last write.
    if (fchmod(fd, old.st_mode & 07777 & ~set_id_bits) != 0) return FailedStep::chmod;
    return copy_flags(from, fd) ? FailedStep::none : FailedStep::chattr;
}

// Read back: a file system or a group this user is not in may take a bit off without a word.
FailedStep copy_privileges(const char* from, std::FILE* to) {
    struct stat old, now;
    int fd = fileno(to);
    // A target gone meanwhile has nothing to give; the check before the rename finds it gone.
    if (stat(from, &old) != 0) return errno == ENOENT ? FailedStep::none : FailedStep::stat;
    if (fchmod(fd, old.st_mode & 07777) != 0 || fstat(fd, &now) != 0) return FailedStep::chmod;
    if ((now.st_mode & 07777) != (old.st_mode & 07777)) {
        errno = EPERM;
        return FailedStep::chmod;
    }
    // A capability is 24 bytes at most; a larger value is none of the kernel's.
    char value[64], back[sizeof value];
    ssize_t size = getxattr(from, capability, value, sizeof value);
    if (size < 0)
        return errno == ENODATA || errno == ENOTSUP ? FailedStep::none : FailedStep::xattr;
    if (fsetxattr(fd, capability, value, size, 0) != 0) return FailedStep::xattr;
    ssize_t got = fgetxattr(fd, capability, back, sizeof back);
    if (got == size && std::memcmp(value, back, size) == 0) return FailedStep::none;
    if (got >= 0) errno = EPERM;
    return FailedStep::xattr;
}

bool rename_over(const char* from, const char* to) { return std::rename(from, to) == 0; }

// A rename fails here on a mount point (EBUSY, EXDEV), which no wait frees: the copy in place is
// what it asks for.
bool in_place_copy_said() { return false; }

// A new file keeps the mode it was made with: there is nothing its folder passes on.
bool inherit_access(const char*, std::FILE*) { return true; }

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

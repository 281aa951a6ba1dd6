// The turn's lock on Windows: a lasting lock file beside the file, private to its creator, the
// Administrators and SYSTEM, whose first byte is locked.
#include <windows.h>

#include <cerrno>
#include <string>

#include "files.h"
#include "lock.h"
#include "win32.h"

namespace {

// Opens the lock file, made if missing with an access list for its creator, the Administrators
// and SYSTEM alone, never through a link: INVALID_HANDLE_VALUE (errno set) when it cannot be.
// Only read, never written, so a read-only lock file takes its turns as any other.
HANDLE open_lock_file(const char* path) {
    PrivateSecurity security;
    if (!security.get()) return INVALID_HANDLE_VALUE;
    HANDLE h =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, security.get(),
                    OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail_with(GetLastError());
    return h;
}

// Why the open lock file is not to be used: a link, a folder or another user's file could be
// held, or switched, by them. Its access list names the administrator who made it, whom
// another administrator would take for another user: the owner alone decides, which for an
// elevated administrator is the Administrators group.
const char* unfit_lock(HANDLE h) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (const char* kind = kind_of(h, &tag)) return kind;
    return trust_of(h, false);
}

// Locks the open lock file's first byte without waiting: lock_taken, or lock_busy, or
// lock_unavailable (errno set); `h` is closed unless it was taken.
LockResult lock_byte(HANDLE h) {
    OVERLAPPED at = {};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return lock_taken;
    DWORD code = GetLastError();
    CloseHandle(h);
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return lock_busy;
    fail_with(code);
    return lock_unavailable;
}

}  // namespace

// A lock file beside the hosts file, never a lock on the hosts file itself, which would stop the
// resolver reading it. Only a user who may create files in the folder (in drivers\etc, the
// Administrators) can make it; its access list lets none but its creator, the Administrators and
// SYSTEM open it. It stays for good: the turn is a lock on its first byte, which the system
// releases when its holder closes it or dies, and which no other handle to the file (a
// scanner's, one opened for its attributes alone) can keep, as one kept it from being deleted.
// lock_unavailable leaves `*why` saying why the file at `path` is not to be used.
LockResult lock_take(const char* path, InstanceLock* lock, const char** why) {
    static std::string reason;
    *why = nullptr;
    HANDLE h = open_lock_file(path);
    if (h != INVALID_HANDLE_VALUE && (*why = unfit_lock(h))) {
        CloseHandle(h);
        return lock_unavailable;
    }
    // Held by a program that shares it with nobody: waited for, as a holder is.
    LockResult got =
        h == INVALID_HANDLE_VALUE ? (errno == EBUSY ? lock_busy : lock_unavailable) : lock_byte(h);
    if (got == lock_taken) *lock = reinterpret_cast<InstanceLock>(h);
    if (got != lock_unavailable) return got;
    // Going on without a turn is said, with its cause: never silently.
    reason = std::string("unusable (") + error_text(errno) + ")";
    *why = reason.c_str();
    return lock_unavailable;
}

// The lock file stays (see lock_take); no_lock releases nothing. The byte is unlocked before the
// handle is closed: the locks of a closed handle are freed when the system gets to them.
bool lock_release(const char*, InstanceLock lock) {
    if (lock == no_lock) return true;
    HANDLE h = reinterpret_cast<HANDLE>(lock);
    OVERLAPPED at = {};
    return close_after(h, UnlockFileEx(h, 0, 1, 0, &at) || fail_with(GetLastError()));
}

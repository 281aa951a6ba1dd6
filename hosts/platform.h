// What Windows and POSIX do their own way; platform_windows.cpp and platform_posix.cpp are the
// only files that know which system the program runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

/// The line end of the lines the program writes itself: CR LF on Windows, LF elsewhere.
extern const char* own_line_end;

/// Creates `path` exclusively, for this process's user alone to read and write, opens it in binary
/// for reading and writing, and locks it for as long as it stays open: null (errno set) when it
/// exists or cannot be made.
std::FILE* create_exclusive(const char* path);
/// Opens `path` with `mode` ("rb" or "r+b") only if it is a regular file reached through no
/// link: null with `*why` saying what it is instead ("a symbolic link", "a folder", ...), or
/// with `*why` null and errno set when it cannot be opened at all.
std::FILE* open_regular(const char* path, const char* mode, const char** why);
/// What the stream's file is when it is not a regular file ("a folder", "a FIFO", ...); null
/// for a regular file.
const char* not_regular(std::FILE* f);
/// Opens `path` as std::fopen does with `mode` ("rb", "r+b", "ab", ...): null (errno set) when it
/// cannot be opened, or when it is a read-only file (on Windows) and `mode` would write to it;
/// on Windows "ab" opens only an existing file.
std::FILE* open_stream(const char* path, const char* mode);
/// Opens the existing file `path` to read it and to append to it, every write landing at its
/// end, never creating it: null (errno set) when it is missing or cannot be opened so, or when
/// it is a read-only file (on Windows).
std::FILE* open_append(const char* path);
/// A second stream for the stream's open file, whatever name leads to it by now, to read and
/// resize it after the first is closed: null (errno set) when none can be made.
std::FILE* another_stream(std::FILE* f);
/// The text a report gives for `errnum`: the C library's, or on Windows the system's own where
/// the library's would not say what happened (another program holds the file).
const char* error_text(int errnum);

/// What a Windows reparse point with tag `tag` makes of its file, in not_regular's words: a name
/// surrogate (symbolic link, junction, mount point) leads to another name, and WSL keeps FIFOs,
/// sockets and devices as reparse points; null for any other, whose file is a regular file whose
/// data a driver keeps (a cloud placeholder, a deduplicated file).
inline const char* reparse_kind(unsigned long tag) {
    constexpr unsigned long name_surrogate = 0x20000000;  // IsReparseTagNameSurrogate
    constexpr unsigned long mount_point = 0xA0000003;     // IO_REPARSE_TAG_MOUNT_POINT
    if (tag & name_surrogate) return tag == mount_point ? "a junction" : "a symbolic link";
    switch (tag) {
    case 0x80000023: return "a socket";  // IO_REPARSE_TAG_AF_UNIX
    case 0x80000024: return "a FIFO";    // IO_REPARSE_TAG_LX_FIFO
    case 0x80000025:                     // IO_REPARSE_TAG_LX_CHR
    case 0x80000026: return "a device";  // IO_REPARSE_TAG_LX_BLK
    default: return nullptr;
    }
}

/// Writes the stream's data through to the disk: 0, or -1 with errno set.
bool sync_file(std::FILE* f);
/// Writes a folder's entries (a rename in it) through to the disk, where its file system can (on
/// Windows a flush of the folder): 0, or -1 with errno set.
bool sync_folder(const char* path);
/// Gives the new file `to` the owner, attributes and mode of `from`, or with `whole` false its
/// bits alone: null, or the failed step's tag ("chmod err", ...).
const char* copy_permissions(const char* from, std::FILE* to, bool whole);
/// Who holds a right over a Windows file, as the trust decision sorts a security identifier.
enum class Principal { self, administrators, system, other };
/// One allowing entry of a Windows access list, as data: whom it names and whether it lets them
/// write.
struct AccessEntry {
    Principal who;
    bool writes;
};
/// Why a Windows file with this owner and access list (null: none, open to all) is not to be
/// trusted, in untrusted's words; null when it is.
inline const char* untrusted_by(Principal owner, const AccessEntry* entries, std::size_t count,
                                bool source) {
    bool trusted_owner = owner == Principal::self || (source && owner != Principal::other);
    if (!trusted_owner) return "owned by another user";
    if (!source) return nullptr;
    if (!entries) return "writable by others";
    for (std::size_t i = 0; i < count; ++i)
        if (entries[i].writes && entries[i].who == Principal::other) return "writable by others";
    return nullptr;
}
/// Why the stream's file, in a folder others may write, is untrusted: "owned by another user";
/// for a `source` also "writable by others", "a hard link"; else null.
const char* untrusted(std::FILE* f, bool source);
/// Replaces `to` by `from` in one rename, on Windows refusing a read-only `to` and waiting a
/// second for its holder: 0, or -1 (errno set, `to` as it was).
bool rename_over(const char* from, const char* to);
/// Whether a rename that failed with `errnum` met another program's hold on the file (Windows),
/// not a mount point (POSIX).
bool held_by_another(int errnum);
/// Gives the stream's new file the access list its folder gives new files (Windows; on POSIX it
/// keeps its mode): 0, or -1 with errno set.
bool inherit_access(std::FILE* f);
/// The file `path` leads to through every link, as an absolute name; `path` itself when it
/// cannot be found.
std::string final_path(const char* path);
/// Whether `path` is a symbolic link (on Windows any reparse point that names another file)
/// that leads to no file.
bool dangling_link(const char* path);
/// Cuts the stream's file to `size` bytes: 0, or -1 with errno set.
bool resize_file(std::FILE* f, long long size);
/// Whether `path`, left by process `pid`, is a regular file of this user's that no running
/// process holds.
bool abandoned(const char* path, unsigned long pid);
/// A number that tells this process's files from another's.
unsigned long process_id();

/// Takes `bytes` of memory for a table, its pages committed at once: null (errno set) when
/// there is none; a valid, unusable pointer for 0 bytes.
void* table_alloc(std::size_t bytes);
/// Gives back what table_alloc returned for `bytes`; does nothing for null.
void table_free(void* table, std::size_t bytes);

/// Makes a write beyond the process's file size limit fail (EFBIG) like any other write rather
/// than kill the process (POSIX's SIGXFSZ); Windows has no such signal. It cannot fail.
void ignore_file_size_signal();

/// Waits for a key press on a console; does nothing without one.
void pause_console();
/// Clears a console screen; does nothing without one.
void clear_console();

/// What identifies one version of a file: which file it is, its size and when it last changed.
struct FileStamp {
    unsigned long long device = 0;
    unsigned long long file = 0;
    unsigned long long size = 0;
    long long modified = 0;  // nanoseconds, or the system's own unit
    long long changed = 0;   // the status change time where the system keeps one
};
/// Whether two stamps name the same file, whatever its content.
inline bool same_file(const FileStamp& a, const FileStamp& b) {
    return a.device == b.device && a.file == b.file;
}
/// Whether two stamps name the same version of the same file.
inline bool same_version(const FileStamp& a, const FileStamp& b) {
    return same_file(a, b) && a.size == b.size && a.modified == b.modified &&
           a.changed == b.changed;
}
/// The stamp of the stream's file: 0, or -1 with errno set.
bool stamp_of(std::FILE* f, FileStamp* stamp);
/// The stamp of the file at `path`, through links: 0, or -1 with errno set.
bool stamp_at(const char* path, FileStamp* stamp);

/// The lock that the program's instances take in turn for one file: a lock file beside it, which
/// only a user who may create files in its folder can make, hold or block.
using InstanceLock = std::intptr_t;
inline constexpr InstanceLock no_lock = -1;
/// What lock_take gives.
enum LockResult { lock_taken, lock_busy, lock_unavailable };
/// Takes the lock file `path` without waiting: lock_taken with `*lock` set; lock_busy while
/// another process holds it; lock_unavailable when no lock can be had there, with `*why` null
/// where the system offers none (a folder this user may not write, a file system without locks),
/// or saying why the file at `path` is not to be used ("owned by another user", ...).
LockResult lock_take(const char* path, InstanceLock* lock, const char** why);
/// Releases the lock and removes the lock file `path` (on Windows it stays): 0, or -1 (errno set)
/// when it could not be; does nothing for no_lock. The system releases it when the process dies.
bool lock_release(const char* path, InstanceLock lock);

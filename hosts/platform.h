// What Windows and POSIX do their own way; platform_windows.cpp and platform_posix.cpp are the
// only files that know which system the program runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

/// The line end of the lines the program writes itself: CR LF on Windows, LF elsewhere.
extern const char* own_line_end;

/// Creates `path` exclusively, opens it in binary for reading and writing, and locks it for as
/// long as it stays open: null (errno set) when it exists or cannot be made.
std::FILE* create_exclusive(const char* path);
/// Opens `path` with `mode` ("rb" or "r+b") only if it is a regular file reached through no
/// link: null with `*why` saying what it is instead ("a symbolic link", "a folder", ...), or
/// with `*why` null and errno set when it cannot be opened at all.
std::FILE* open_regular(const char* path, const char* mode, const char** why);
/// What the stream's file is when it is not a regular file ("a folder", "a FIFO", ...); null
/// for a regular file.
const char* not_regular(std::FILE* f);
/// Opens `path` as std::fopen does with `mode` ("rb", "r+b", "ab", ...): null (errno set) when it
/// cannot be opened, or when it is a read-only file (on Windows) and `mode` would write to it.
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
int sync_file(std::FILE* f);
/// Writes a folder's entries (a rename in it) through to the disk, where its file system can (on
/// Windows a flush of the folder): 0, or -1 with errno set.
int sync_folder(const char* path);
/// Gives `to` the permission bits and owner of the file `from`, if it exists (on Windows its
/// hidden, system and archive attributes and its creation time): 0, or -1 with errno set when
/// they cannot be given.
int copy_permissions(const char* from, std::FILE* to);
/// Replaces `to` by `from` in one step (on Windows keeping the access list, creation time and
/// streams of an existing `to`, and refusing one that is read-only): 0; or -1 with errno set and
/// `to` as it was, or, on Windows, gone with its old version kept beside it and named on stderr.
int rename_over(const char* from, const char* to);
/// Cuts the stream's file to `size` bytes: 0, or -1 with errno set.
int resize_file(std::FILE* f, long long size);
/// Whether `path`, left by process `pid`, is a regular file that no running process holds.
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
int stamp_of(std::FILE* f, FileStamp* stamp);
/// The stamp of the file at `path`, through links: 0, or -1 with errno set.
int stamp_at(const char* path, FileStamp* stamp);

/// The lock that the program's instances take in turn for the files of one folder.
using InstanceLock = std::intptr_t;
inline constexpr InstanceLock no_lock = -1;
/// Opens the instances' lock for `folder` (on POSIX the folder itself, on Windows a mutex named
/// after it): no_lock when the system offers none there.
InstanceLock lock_open(const char* folder);
/// Takes the lock without waiting: 1 when taken, 0 while another process holds it, -1 when it
/// cannot be taken here at all.
int lock_try(InstanceLock lock);
/// Releases the lock if this process holds it, and closes it; does nothing for no_lock. The
/// system releases it too when the process dies.
void lock_close(InstanceLock lock);

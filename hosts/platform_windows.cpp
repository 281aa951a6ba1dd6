// What Windows does its own way: file creation and replacement, the reports' words for Win32
// errors, and the console.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"

const char* own_line_end = "\r\n";

namespace {

constexpr DWORD disk_quota_exceeded = 1295;  // ERROR_DISK_QUOTA_EXCEEDED, not in MinGW's headers

// The one mapping from Win32 errors to the errno values the reports print; the C runtime's own
// says "Permission denied" for a file that another program holds, or for a failing disk.
struct ErrorWord {
    DWORD code;
    int error;
};
constexpr ErrorWord error_words[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_INVALID_DRIVE, ENOENT},
    {ERROR_BAD_NETPATH, ENOENT},
    {ERROR_BAD_NET_NAME, ENOENT},
    {ERROR_BAD_PATHNAME, ENOENT},
    {ERROR_SHARING_VIOLATION, EBUSY},
    {ERROR_LOCK_VIOLATION, EBUSY},
    {ERROR_USER_MAPPED_FILE, EBUSY},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_NETWORK_ACCESS_DENIED, EACCES},
    {ERROR_PRIVILEGE_NOT_HELD, EACCES},
    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {disk_quota_exceeded, ENOSPC},
    {ERROR_WRITE_PROTECT, EROFS},
    {ERROR_NOT_SAME_DEVICE, EXDEV},
    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_OUTOFMEMORY, ENOMEM},
    {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
    {ERROR_INVALID_HANDLE, EBADF},
    {ERROR_INVALID_PARAMETER, EINVAL},
    {ERROR_INVALID_NAME, EINVAL},
    {ERROR_INVALID_FUNCTION, ENOSYS},
    {ERROR_NOT_SUPPORTED, ENOSYS},
};

// Any other error is a device, network or file system failure.
int errno_of(DWORD code) {
    for (const ErrorWord& word : error_words)
        if (word.code == code) return word.error;
    return EIO;
}

// Sets errno for the Win32 error `code`: -1, for the caller to return.
int fail_with(DWORD code) {
    errno = errno_of(code);
    return -1;
}

// Reports of this layer's own, after everything already printed to stdout; errno is kept.
void tell(const char* format, ...) {
    int saved = errno;
    std::fflush(stdout);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    errno = saved;
}

HANDLE handle_of(std::FILE* f) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))); }

// Closes `h` after work that gave `ret`: `ret`, with its errno, or -1 when only the close failed.
int close_after(HANDLE h, int ret) {
    int saved = errno;
    if (!CloseHandle(h) && ret == 0) return fail_with(GetLastError());
    errno = saved;
    return ret;
}

int flush(HANDLE h) { return FlushFileBuffers(h) ? 0 : fail_with(GetLastError()); }

int set_size(HANDLE h, long long size) {
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = size;
    if (SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end)) return 0;
    return fail_with(GetLastError());
}

// A stream for `h`, which it then owns: null (errno set, `h` closed) when none can be made.
std::FILE* stream_of(HANDLE h, const char* mode) {
    // The descriptor takes the handle's own access: _O_RDONLY is 0, no flag that could narrow it.
    int flags = _O_BINARY | (mode[0] == 'a' ? _O_APPEND : 0);
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, mode);
    if (!f) _close(fd);
    return f;
}

// Opens `path` for `access`, shared as the C runtime shares its files (never for deletion):
// INVALID_HANDLE_VALUE (errno set) when it cannot be opened.
HANDLE open_handle(const char* path, DWORD access, DWORD creation, DWORD flags) {
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, creation,
                           flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail_with(GetLastError());
    return h;
}

// A read-only file is refused for writing, as Windows refuses it to all but the most privileged
// (Wine run as root among them): a replacement or a copy in place would make it writable.
bool refused_for_writing(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
        return false;
    CloseHandle(h);
    errno = EACCES;
    return true;
}

}  // namespace

std::FILE* create_exclusive(const char* path) {
    // An open file that is not shared for deletion cannot be deleted: that is the lock a later
    // run respects.
    HANDLE h = open_handle(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    std::FILE* f = stream_of(h, "w+b");
    if (!f) DeleteFileA(path);
    return f;
}

std::FILE* open_stream(const char* path, const char* mode) {
    bool update = std::strchr(mode, '+') != nullptr;
    DWORD access = mode[0] == 'r' ? GENERIC_READ : GENERIC_WRITE;
    if (update) access = GENERIC_READ | GENERIC_WRITE;
    DWORD creation = mode[0] == 'r' ? OPEN_EXISTING : mode[0] == 'w' ? CREATE_ALWAYS : OPEN_ALWAYS;
    HANDLE h = open_handle(path, access, creation, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE || ((access & GENERIC_WRITE) && refused_for_writing(h)))
        return nullptr;
    return stream_of(h, mode);
}

std::FILE* open_append(const char* path) {
    HANDLE h =
        open_handle(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE || refused_for_writing(h)) return nullptr;
    return stream_of(h, "a+b");
}

// The copy is a handle to the same open file, not to its name: a rename over the name cannot
// lead it to another file.
std::FILE* another_stream(std::FILE* f) {
    HANDLE process = GetCurrentProcess(), copy = nullptr;
    if (!DuplicateHandle(process, handle_of(f), process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        fail_with(GetLastError());
        return nullptr;
    }
    return stream_of(copy, "r+b");
}

const char* error_text(int errnum) {
    // The C runtime has no words for a file in use (Microsoft's says "Resource device" for
    // EBUSY): the system's own message, in the system's language, says it.
    static char in_use[512];
    if (errnum == EBUSY && !in_use[0]) {
        DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
        DWORD size = FormatMessageA(flags, nullptr, ERROR_SHARING_VIOLATION, 0, in_use,
                                    sizeof in_use, nullptr);
        while (size > 0 && std::strchr(" \r\n", in_use[size - 1])) in_use[--size] = '\0';
    }
    return errnum == EBUSY && in_use[0] ? in_use : std::strerror(errnum);
}

int sync_file(std::FILE* f) { return flush(handle_of(f)); }

int sync_folder(const char* path) {
    // A folder's handle may be flushed when it is opened to add files, which making the new
    // version there needed already. File systems that cannot flush a folder say so; there is
    // nothing more to ask of them.
    HANDLE h =
        CreateFileA(path, FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError());
    DWORD code = FlushFileBuffers(h) ? ERROR_SUCCESS : GetLastError();
    bool done =
        code == ERROR_SUCCESS || code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED;
    return close_after(h, done ? 0 : fail_with(code));
}

namespace {

// What a new version takes from the file it replaces besides what ReplaceFileA keeps, so that a
// plain rename keeps it too. Read-only is not among them: a read-only file is never replaced.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Whether the new file shows the hidden and system attributes it was given: a file system may
// take them without keeping them (Wine, where it cannot store them): 0, or -1 with errno EIO.
int hidden_and_system_kept(HANDLE h, DWORD old_attributes) {
    constexpr DWORD shown = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    FILE_BASIC_INFO now;
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &now, sizeof now))
        return fail_with(GetLastError());
    if ((now.FileAttributes & shown) == (old_attributes & shown)) return 0;
    errno = EIO;
    return -1;
}

}  // namespace

namespace {

int copy_attributes(const char* from, std::FILE* to) {
    WIN32_FILE_ATTRIBUTE_DATA old;
    if (!GetFileAttributesExA(from, GetFileExInfoStandard, &old))
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : fail_with(GetLastError());
    FILE_BASIC_INFO basic = {};  // times left at 0 stay as they are
    basic.CreationTime.LowPart = old.ftCreationTime.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(old.ftCreationTime.dwHighDateTime);
    basic.FileAttributes = old.dwFileAttributes & kept_attributes;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    HANDLE h = handle_of(to);
    if (!SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic))
        return fail_with(GetLastError());
    return hidden_and_system_kept(h, old.dwFileAttributes);
}

}  // namespace

const char* copy_permissions(const char* from, std::FILE* to, bool whole) {
    return !whole || copy_attributes(from, to) == 0 ? nullptr : "chmod err";
}

const char* untrusted(std::FILE*, bool) { return nullptr; }

namespace {

// Whether another program holds `path` without sharing it for deletion. Windows says "access
// denied" to a rename onto such a file, which the report must tell apart from missing rights.
bool in_use(const char* path) {
    HANDLE h = CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
}

// The plain rename, which gives the new file the folder's access rights.
int move_over(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    DWORD code = GetLastError();
    return fail_with(code == ERROR_ACCESS_DENIED && in_use(to) ? ERROR_SHARING_VIOLATION : code);
}

// The name under which ReplaceFileA keeps the old version until the new one is in place: the
// in-place copy's "NAME.old-PID-K-SIZE" beside the new version's "NAME.new-PID-K" (files.cpp),
// so that the next run's clean-up knows what a run killed in between left. Empty for a new
// version named otherwise.
std::string kept_name(const char* from, ULONGLONG old_size) {
    std::string name = from;
    std::string::size_type mark = name.rfind(".new-");
    if (mark == std::string::npos) return "";
    return name.replace(mark, 5, ".old-") + "-" + std::to_string(old_size);
}

// Removes the old version once the new one is in place. Where it stays (Wine tells no failure
// of the deletion it does when the file is closed), it is named: the target is whole either way.
void remove_kept(const std::string& kept) {
    if (!DeleteFileA(kept.c_str())) {
        fail_with(GetLastError());
        tell("remove err: %s: %s\n", kept.c_str(), error_text(errno));
    } else if (GetFileAttributesA(kept.c_str()) != INVALID_FILE_ATTRIBUTES) {
        tell("old file kept: %s\n", kept.c_str());
    }
}

// After ReplaceFileA failed. When it had already moved the old version aside, that goes back
// first; then the plain rename is tried, and its failure, with `to` as it was, is returned. If
// not even the old version could go back, it is named: the only whole copy of the old content.
int after_failed_replace(const char* from, const char* to, const std::string& kept) {
    bool aside = GetFileAttributesA(to) == INVALID_FILE_ATTRIBUTES &&
                 GetFileAttributesA(kept.c_str()) != INVALID_FILE_ATTRIBUTES;
    bool back = !aside || MoveFileExA(kept.c_str(), to, MOVEFILE_WRITE_THROUGH);
    int ret = move_over(from, to);
    if (!back && ret == 0) remove_kept(kept);
    if (!back && ret != 0) tell("old file kept: %s\n", kept.c_str());
    return ret;
}

// Flushes what ReplaceFileA merged into the new file (streams, attributes). Its failure is
// reported, but the file holds the new content either way.
void flush_replaced(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    int ret = h == INVALID_HANDLE_VALUE ? fail_with(GetLastError()) : close_after(h, flush(h));
    if (ret != 0) tell("sync err: %s\n", error_text(errno));
}

}  // namespace

// Windows' own replacement keeps what Windows knows of the old file: its access list, creation
// time and alternate data streams (not its owner, which only a privileged call can give). Only
// an existing file can be replaced so; where it fails, the plain rename is tried, and the caller
// copies in place if that fails too.
int rename_over(const char* from, const char* to) {
    WIN32_FILE_ATTRIBUTE_DATA old;
    if (!GetFileAttributesExA(to, GetFileExInfoStandard, &old)) {
        DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND ? move_over(from, to) : fail_with(code);
    }
    if (old.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return fail_with(ERROR_ACCESS_DENIED);
    ULONGLONG size = (static_cast<ULONGLONG>(old.nFileSizeHigh) << 32) | old.nFileSizeLow;
    std::string kept = kept_name(from, size);
    if (kept.empty()) return move_over(from, to);
    if (!ReplaceFileA(to, from, kept.c_str(), 0, nullptr, nullptr))
        return after_failed_replace(from, to, kept);
    remove_kept(kept);
    flush_replaced(to);
    return 0;
}

int resize_file(std::FILE* f, long long size) { return set_size(handle_of(f), size); }

namespace {

const char* kind_of(HANDLE h, FILE_ATTRIBUTE_TAG_INFO* tag) {
    if (GetFileType(h) != FILE_TYPE_DISK) return "a device";
    if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, tag, sizeof *tag))
        return "not a regular file";
    const char* kind = nullptr;
    if (tag->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) kind = reparse_kind(tag->ReparseTag);
    if (!kind && (tag->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) kind = "a folder";
    return kind;
}

// A reparse point that leads nowhere else (a cloud placeholder, a deduplicated file) is read and
// written through the driver that keeps its data, not as the bare reparse point it was opened
// as; reopened from the handle, not by name, it cannot be swapped in between.
HANDLE through_reparse_point(HANDLE h, DWORD access, const FILE_ATTRIBUTE_TAG_INFO& tag) {
    if (!(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return h;
    HANDLE reopened = ReOpenFile(h, access, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (reopened == INVALID_HANDLE_VALUE) fail_with(GetLastError());
    CloseHandle(h);
    return reopened;
}

}  // namespace

const char* not_regular(std::FILE* f) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    return kind_of(handle_of(f), &tag);
}

std::FILE* open_regular(const char* path, const char* mode, const char** why) {
    *why = nullptr;
    bool update = std::strchr(mode, '+') != nullptr;
    DWORD access = GENERIC_READ | (update ? GENERIC_WRITE : 0);
    // The reparse point itself is opened, never what it leads to, and a folder opens too, so
    // that what the name is decides.
    HANDLE h = open_handle(path, access, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    FILE_ATTRIBUTE_TAG_INFO tag;
    if ((*why = kind_of(h, &tag))) {
        CloseHandle(h);
        errno = EINVAL;
        return nullptr;
    }
    if (update && refused_for_writing(h)) return nullptr;
    h = through_reparse_point(h, access, tag);
    return h == INVALID_HANDLE_VALUE ? nullptr : stream_of(h, mode);
}

bool abandoned(const char* path, unsigned long pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process) {
        bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
        CloseHandle(process);
        if (running) return false;
    }
    // Shared with nobody: this fails while a running instance still has the file open.
    HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

namespace {

// What an empty table points at: a valid address that is never read and never given back.
char no_slots[1];

}  // namespace

// Committed up front, so that filling the table finds its pages ready, not one at a time.
void* table_alloc(std::size_t bytes) {
    if (bytes == 0) return no_slots;
    void* table = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!table) errno = ENOMEM;
    return table;
}

void table_free(void* table, std::size_t bytes) {
    if (table && bytes != 0) VirtualFree(table, 0, MEM_RELEASE);
}

unsigned long process_id() { return GetCurrentProcessId(); }

void ignore_file_size_signal() {}

void pause_console() {
    std::fflush(stdout);
    std::system("pause");
}

void clear_console() {
    std::fflush(stdout);
    std::system("cls");
}

namespace {

long long ticks(const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                  t.dwLowDateTime);
}

int stamp_handle(HANDLE h, FileStamp* stamp) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return fail_with(GetLastError());
    stamp->device = info.dwVolumeSerialNumber;
    stamp->file = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp->size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp->modified = ticks(info.ftLastWriteTime);
    stamp->changed = 0;
    return 0;
}

// The mutex's name: the folder's full path, its ASCII letters in one case as Windows matches
// names, hashed so that any path fits; in the global namespace, so that the instances of every
// session meet there.
std::string mutex_name(const char* folder) {
    char full[MAX_PATH * 4];
    DWORD size = GetFullPathNameA(folder, sizeof full, full, nullptr);
    if (size == 0 || size >= sizeof full) return "";
    unsigned long long hash = 14695981039346656037ULL;  // FNV-1a
    for (DWORD i = 0; i < size; ++i) {
        char c = full[i] == '/' ? '\\' : full[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    char name[64];
    std::snprintf(name, sizeof name, "Global\\hosts-manager-%016llx", hash);
    return name;
}

}  // namespace

int stamp_of(std::FILE* f, FileStamp* stamp) { return stamp_handle(handle_of(f), stamp); }

int stamp_at(const char* path, FileStamp* stamp) {
    // No access asked and every sharing allowed: the stamp never stands in another's way.
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError());
    return close_after(h, stamp_handle(h, stamp));
}

// A named mutex, never a lock on the hosts file itself, which would stop the resolver reading
// it. Windows releases it as abandoned when its holder dies.
int lock_take(const char* path, InstanceLock* lock, const char** why) {
    *why = nullptr;
    std::string folder = path;
    folder.erase(folder.find_last_of("\\/") + 1);
    std::string name = mutex_name(folder.empty() ? "." : folder.c_str());
    HANDLE mutex = name.empty() ? nullptr : CreateMutexA(nullptr, FALSE, name.c_str());
    if (!mutex) return lock_unavailable;
    DWORD got = WaitForSingleObject(mutex, 0);
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) {
        *lock = reinterpret_cast<InstanceLock>(mutex);
        return lock_taken;
    }
    CloseHandle(mutex);
    return got == WAIT_TIMEOUT ? lock_busy : lock_unavailable;
}

int lock_release(const char*, InstanceLock lock) {
    if (lock == no_lock) return 0;
    ReleaseMutex(reinterpret_cast<HANDLE>(lock));
    CloseHandle(reinterpret_cast<HANDLE>(lock));
    return 0;
}

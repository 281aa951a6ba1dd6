// What Windows does its own way: file creation and replacement, and the console.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"

const char* own_line_end = "\r\n";

std::FILE* create_exclusive(const char* path) {
    int mode = _O_RDWR | _O_CREAT | _O_EXCL | _O_NOINHERIT | _O_BINARY;
    int fd = _open(path, mode, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    // An open file cannot be deleted on Windows: that is the lock a later run respects.
    std::FILE* f = _fdopen(fd, "w+b");
    if (!f) {
        _close(fd);
        _unlink(path);
    }
    return f;
}

int sync_file(std::FILE* f) { return _commit(_fileno(f)); }

// A rename with MOVEFILE_WRITE_THROUGH is on the disk when it returns.
int sync_folder(const char* path) {
    (void)path;
    return 0;
}

int copy_permissions(const char* from, std::FILE* to) {
    // The new file inherits the folder's access rights, which are the hosts file's own.
    (void)from;
    (void)to;
    return 0;
}

int rename_over(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    errno = GetLastError() == ERROR_SHARING_VIOLATION ? EBUSY : EACCES;
    return -1;
}

int resize_file(std::FILE* f, long long size) {
    errno = _chsize_s(_fileno(f), size);
    return errno == 0 ? 0 : -1;
}

int truncate_file(const char* path, long long size) {
    int fd = _open(path, _O_WRONLY | _O_BINARY);
    if (fd < 0) return -1;
    int ret = _chsize_s(fd, size) == 0 && _commit(fd) == 0 ? 0 : -1;
    int saved = errno;
    if (_close(fd) != 0 && ret == 0) return -1;
    errno = saved;
    return ret;
}

namespace {

const char* kind_of(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK) return "a device";
    if (!GetFileInformationByHandle(h, &info)) return "not a regular file";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return "a symbolic link";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "a folder";
    return nullptr;
}

}  // namespace

const char* not_regular(std::FILE* f) {
    return kind_of(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))));
}

std::FILE* open_regular(const char* path, const char* mode, const char** why) {
    *why = nullptr;
    bool update = std::strchr(mode, '+') != nullptr;
    DWORD access = GENERIC_READ | (update ? GENERIC_WRITE : 0);
    // The reparse point itself is opened, never what it leads to, and a folder opens too, so
    // that what the name is decides.
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = GetLastError() == ERROR_FILE_NOT_FOUND ? ENOENT : EACCES;
        return nullptr;
    }
    if ((*why = kind_of(h))) {
        CloseHandle(h);
        errno = EINVAL;
        return nullptr;
    }
    // The descriptor takes the handle's own access: _O_RDONLY is 0, no flag that could narrow it.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, mode);
    if (!f) _close(fd);
    return f;
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
    if (!GetFileInformationByHandle(h, &info)) {
        errno = EIO;
        return -1;
    }
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

int stamp_of(std::FILE* f, FileStamp* stamp) {
    return stamp_handle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))), stamp);
}

int stamp_at(const char* path, FileStamp* stamp) {
    // No access asked and every sharing allowed: the stamp never stands in another's way.
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = GetLastError() == ERROR_FILE_NOT_FOUND ? ENOENT : EACCES;
        return -1;
    }
    int ret = stamp_handle(h, stamp);
    CloseHandle(h);
    return ret;
}

// A named mutex, never a lock on the hosts file itself, which would stop the resolver reading
// it. Windows releases it as abandoned when its holder dies.
InstanceLock lock_open(const char* folder) {
    std::string name = mutex_name(folder);
    HANDLE mutex = name.empty() ? nullptr : CreateMutexA(nullptr, FALSE, name.c_str());
    return mutex ? reinterpret_cast<InstanceLock>(mutex) : no_lock;
}

int lock_try(InstanceLock lock) {
    if (lock == no_lock) return -1;
    DWORD got = WaitForSingleObject(reinterpret_cast<HANDLE>(lock), 0);
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) return 1;
    return got == WAIT_TIMEOUT ? 0 : -1;
}

void lock_close(InstanceLock lock) {
    if (lock == no_lock) return;
    ReleaseMutex(reinterpret_cast<HANDLE>(lock));  // fails, harmlessly, when it was never taken
    CloseHandle(reinterpret_cast<HANDLE>(lock));
}

// What Windows does its own way: file creation and replacement, and the console.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>

#include "hosts.h"

const bool crlf_line_ends = true;

File create_exclusive(const char* path, bool binary) {
    int mode = _O_RDWR | _O_CREAT | _O_EXCL | _O_NOINHERIT | (binary ? _O_BINARY : _O_TEXT);
    int fd = _open(path, mode, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    // An open file cannot be deleted on Windows: that is the lock a later run respects.
    File f(_fdopen(fd, binary ? "w+b" : "w+"));
    if (!f) _close(fd);
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

unsigned long process_id() { return GetCurrentProcessId(); }

void pause_console() {
    std::fflush(stdout);
    std::system("pause");
}

void clear_console() {
    std::fflush(stdout);
    std::system("cls");
}

// What Windows does its own way: file creation and replacement, and the console.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>

#include "hosts.h"

const char* own_line_end = "\r\n";

File create_exclusive(const char* path, bool binary) {
    int mode = _O_WRONLY | _O_CREAT | _O_EXCL | _O_NOINHERIT | (binary ? _O_BINARY : _O_TEXT);
    int fd = _open(path, mode, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    File f(_fdopen(fd, binary ? "wb" : "w"));
    if (!f) _close(fd);
    return f;
}

int sync_file(std::FILE* f) { return _commit(_fileno(f)); }

void copy_permissions(const char* from, std::FILE* to) {
    // The new file inherits the folder's access rights, which are the hosts file's own.
    (void)from;
    (void)to;
}

int rename_over(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    errno = GetLastError() == ERROR_SHARING_VIOLATION ? EBUSY : EACCES;
    return -1;
}

int truncate_file(const char* path, long long size) {
    int fd = _open(path, _O_WRONLY | _O_BINARY);
    if (fd < 0) return -1;
    int ret = _chsize_s(fd, size) == 0 ? 0 : -1;
    _close(fd);
    return ret;
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

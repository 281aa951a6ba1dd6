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

namespace {

// What an empty table points at: a valid address that is never read and never released.
Config no_slots[1];

}  // namespace

// Committed up front, so filling the table finds its pages ready rather than one at a time.
Config* table_alloc(std::size_t count) {
    if (count == 0) return no_slots;
    void* slots =
        VirtualAlloc(nullptr, count * sizeof(Config), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!slots) errno = ENOMEM;
    return static_cast<Config*>(slots);
}

void table_free(Config* slots, std::size_t count) {
    if (slots && count != 0) VirtualFree(slots, 0, MEM_RELEASE);
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

// The files on Windows: Win32 errors as errno and the system's own words for them, names opened
// as the reparse points they may be, streams on Win32 handles, flushes, links followed to the
// name the system gives their target, and stamps from a handle's file information.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "files.h"
#include "win32.h"
#include "windows_rules.h"

const char* own_line_end = "\r\n";

namespace {

// Not in MinGW's headers.
constexpr DWORD disk_quota_exceeded = 1295;  // ERROR_DISK_QUOTA_EXCEEDED
constexpr DWORD virus_infected = 225;        // ERROR_VIRUS_INFECTED
constexpr DWORD virus_deleted = 226;         // ERROR_VIRUS_DELETED

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
    // A virus scanner that guards the hosts file, or a read-only file: "Input/output error" or
    // "Permission denied" would send the user after a failing disk or missing rights.
    {virus_infected, system_words + virus_infected},
    {virus_deleted, system_words + virus_deleted},
    {ERROR_FILE_READ_ONLY, system_words + ERROR_FILE_READ_ONLY},
    // A link that the system cannot follow.
    {ERROR_CANT_RESOLVE_FILENAME, system_words + ERROR_CANT_RESOLVE_FILENAME},
};

}  // namespace

// Any other error is a device, network or file system failure.
int errno_of(DWORD code) {
    for (const ErrorWord& word : error_words)
        if (word.code == code) return word.error;
    return EIO;
}

bool fail_with(DWORD code) {
    errno = errno_of(code);
    return false;
}

bool close_after(HANDLE h, bool done) {
    int saved = errno;
    if (!CloseHandle(h) && done) return fail_with(GetLastError());
    errno = saved;
    return done;
}

namespace {

bool flush(HANDLE h) { return FlushFileBuffers(h) || fail_with(GetLastError()); }

bool set_size(HANDLE h, long long size) {
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = size;
    return SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end) ||
           fail_with(GetLastError());
}

}  // namespace

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

namespace {

// Windows refuses a read-only file to a writer in the words it has for missing rights: the
// attribute tells the two apart.
DWORD refusal(const char* path, DWORD access, DWORD code) {
    if (code != ERROR_ACCESS_DENIED || !(access & (GENERIC_WRITE | FILE_APPEND_DATA))) return code;
    DWORD attributes = GetFileAttributesA(path);
    bool read_only =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    return read_only ? ERROR_FILE_READ_ONLY : code;
}

// Opens `path` for `access`, shared as the C runtime shares its files (never for deletion):
// INVALID_HANDLE_VALUE (errno set) when it cannot be opened.
HANDLE open_handle(const char* path, DWORD access, DWORD creation, DWORD flags) {
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, creation,
                           flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail_with(refusal(path, access, GetLastError()));
    return h;
}

// A read-only file is refused for writing, as Windows refuses it to all but the most privileged
// (Wine run as root among them): a replacement or a copy in place would make it writable.
bool refused_for_writing(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
        return false;
    CloseHandle(h);
    fail_with(ERROR_FILE_READ_ONLY);
    return true;
}

}  // namespace

// A read-only file is not opened for writing, and "ab" opens only an existing file.
std::FILE* open_stream(const char* path, const char* mode) {
    bool update = std::strchr(mode, '+') != nullptr;
    DWORD access = mode[0] == 'r' ? GENERIC_READ : GENERIC_WRITE;
    if (update) access = GENERIC_READ | GENERIC_WRITE;
    // An append never makes the file: one that another program removed stays removed.
    DWORD creation = mode[0] == 'w' ? CREATE_ALWAYS : OPEN_EXISTING;
    HANDLE h = open_handle(path, access, creation, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE || ((access & GENERIC_WRITE) && refused_for_writing(h)))
        return nullptr;
    return stream_of(h, mode);
}

// Every write lands at the end of the file as it is then, never where the stream last saw it: a
// handle that may append but not write never overwrites what another program appended meanwhile.
// It cannot sync or resize the file either: another_stream's handle does. A read-only file is not
// opened.
std::FILE* open_append(const char* path) {
    HANDLE h =
        open_handle(path, GENERIC_READ | FILE_APPEND_DATA, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE || refused_for_writing(h)) return nullptr;
    return stream_of(h, "a+b");
}

// A handle to the same open file, reopened from the handle, not by name, so that a rename over
// the name cannot lead it to another file; with the write access that an append's handle lacks.
std::FILE* another_stream(std::FILE* f) {
    HANDLE copy = ReOpenFile(handle_of(f), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (copy == INVALID_HANDLE_VALUE) {
        fail_with(GetLastError());
        return nullptr;
    }
    return stream_of(copy, "r+b");
}

namespace {

// The system's message for `code`, in the system's language, without its line end, in code page
// 936 as the program's own texts are, whatever the ANSI code page; `fallback` where the system
// has none.
const char* system_message(DWORD code, const char* fallback) {
    static char messages[4][512];
    static DWORD codes[4];
    std::size_t slot = 0;
    while (slot < 3 && codes[slot] != 0 && codes[slot] != code) ++slot;
    char* text = messages[slot];
    if (codes[slot] != code) {
        codes[slot] = code;
        wchar_t wide[512];
        DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
        DWORD size = FormatMessageW(flags, nullptr, code, 0, wide, 512, nullptr);
        while (size > 0 && std::wcschr(L" \r\n", wide[size - 1])) --size;
        int made = size == 0 ? 0
                             : WideCharToMultiByte(936, 0, wide, static_cast<int>(size), text,
                                                   sizeof messages[0] - 1, nullptr, nullptr);
        text[made] = '\0';
    }
    return text[0] ? text : fallback;
}

}  // namespace

const char* error_text(int errnum) {
    // The system's own words where the library's would not say what happened: the C runtime has
    // none for a file in use (Microsoft's says "Resource device" for EBUSY), for a virus
    // scanner's block or for a read-only file.
    if (errnum == EBUSY) return system_message(ERROR_SHARING_VIOLATION, std::strerror(errnum));
    if (errnum == nothing_inherited) return "its folder passes on no access list, or an empty one";
    switch (errnum - system_words) {
    case virus_infected: return system_message(virus_infected, "blocked by a virus scanner");
    case virus_deleted: return system_message(virus_deleted, "removed by a virus scanner");
    case ERROR_FILE_READ_ONLY: return system_message(ERROR_FILE_READ_ONLY, "read-only file");
    case ERROR_CANT_RESOLVE_FILENAME:
        return system_message(ERROR_CANT_RESOLVE_FILENAME, "a link that cannot be followed");
    default: return std::strerror(errnum);
    }
}

bool sync_file(std::FILE* f) { return flush(handle_of(f)); }

bool sync_folder(const char* path) {
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
    return close_after(h, done || fail_with(code));
}

bool resize_file(std::FILE* f, long long size) { return set_size(handle_of(f), size); }

const char* kind_of(HANDLE h, FILE_ATTRIBUTE_TAG_INFO* tag) {
    if (GetFileType(h) != FILE_TYPE_DISK) return "a device";
    if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, tag, sizeof *tag))
        return "not a regular file";
    const char* kind = nullptr;
    if (tag->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) kind = reparse_kind(tag->ReparseTag);
    if (!kind && (tag->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) kind = "a folder";
    return kind;
}

namespace {

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

// `mode` is "rb" or "r+b". Anything but a regular file leaves `*why` saying what it is ("a
// symbolic link", "a folder", ...); a name that cannot be opened leaves it null, errno set.
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

namespace {

// Opens `path` for no access at all, every sharing allowed, through its links or, with
// FILE_FLAG_OPEN_REPARSE_POINT in `flags`, as the link itself.
HANDLE open_name(const char* path, DWORD flags) {
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// A name surrogate's file leads to another name: a symbolic link, a junction, a mount point.
constexpr DWORD name_surrogate = 0x20000000;  // IsReparseTagNameSurrogate
constexpr DWORD wsl_link = 0xA000001D;        // IO_REPARSE_TAG_LX_SYMLINK

// `path` made absolute, unopened.
std::string absolute(const char* path) {
    char full[MAX_PATH * 4];
    DWORD size = GetFullPathNameA(path, sizeof full, full, nullptr);
    return size == 0 || size >= sizeof full ? std::string(path) : std::string(full);
}

// Reads the reparse tag of the name `path` itself into `*tag`: false (the error left for
// GetLastError) when it cannot.
bool tag_of(const char* path, DWORD* tag) {
    HANDLE h = open_name(path, FILE_FLAG_OPEN_REPARSE_POINT);
    FILE_ATTRIBUTE_TAG_INFO info = {};
    bool got = h != INVALID_HANDLE_VALUE &&
               GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info);
    DWORD code = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    SetLastError(code);
    *tag = info.ReparseTag;
    return got;
}

// Refuses a link that cannot be followed, which a rename would replace: empty, with `*why` the
// reason and errno set for the caller's report; `code`, if not 0, the system's words for why.
std::string refused(const char** why, const char* reason, DWORD code) {
    static std::string text;
    text = reason;
    if (code != ERROR_SUCCESS)
        text = text + " (" + system_message(code, error_text(errno_of(code))) + ")";
    *why = text.c_str();
    fail_with(ERROR_CANT_RESOLVE_FILENAME);
    return "";
}

// The name the system gives the file open as `h`, \\?\C:\... or \\?\UNC\server\share\..., in the
// ANSI code page that the program's calls name files in: empty, with `*why`, when it has none.
std::string name_of(HANDLE h, const char** why) {
    wchar_t wide[4096];
    DWORD size = GetFinalPathNameByHandleW(h, wide, 4096, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    DWORD code = size == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    if (size == 0 || size >= 4096 || std::wcsncmp(wide, L"\\\\?\\", 4) != 0)
        return refused(why, "a link whose target cannot be named", code);
    bool share = std::wcsncmp(wide + 4, L"UNC\\", 4) == 0;
    char name[4096 * 2] = "\\";
    BOOL lossy = FALSE;
    if (!WideCharToMultiByte(CP_ACP, 0, wide + (share ? 7 : 4), -1, name + (share ? 1 : 0),
                             sizeof name - 1, nullptr, &lossy))
        return refused(why, "a link whose target cannot be named", GetLastError());
    return lossy ? refused(why, "a link to a name outside the ANSI code page", 0) : name;
}

}  // namespace

// The runtime's std::filesystem follows no link on Windows: the system names the file that the
// open handle reached, after every link. A name that is no link (a plain file, or a reparse point
// that leads nowhere else: a cloud or deduplicated file) is only made absolute, unopened: the
// new version goes beside it, in the folder it names, whatever links lead there. A link that
// cannot be followed is refused, never taken for the file itself.
std::string final_path(const char* path, const char** why) {
    *why = nullptr;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return path;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return absolute(path);
    DWORD tag;
    if (!tag_of(path, &tag))
        return refused(why, "a reparse point whose tag cannot be read", GetLastError());
    if (!(tag & name_surrogate)) return absolute(path);
    if (tag == wsl_link) return refused(why, "a WSL symbolic link, which Windows cannot follow", 0);
    HANDLE h = open_name(path, 0);
    if (h == INVALID_HANDLE_VALUE)
        return refused(why, "a link that cannot be followed", GetLastError());
    std::string name = name_of(h, why);
    CloseHandle(h);
    return name;
}

// A link here is any reparse point that names another file.
bool dangling_link(const char* path) {
    HANDLE h = open_name(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    const char* kind = kind_of(h, &tag);
    CloseHandle(h);
    bool link = kind && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                (tag.ReparseTag & name_surrogate);
    if (!link) return false;
    h = open_name(path, 0);
    DWORD code = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return h == INVALID_HANDLE_VALUE &&
           (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND);
}

// Reparse points, the mounts of a Windows folder, are refused by open_regular already.
std::FILE* open_same_mount(const char* path, const char* mode, const char** why) {
    return open_regular(path, mode, why);
}

namespace {

long long ticks(const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                  t.dwLowDateTime);
}

// The change time moves with the last-write time and with a change of attributes too; neither is
// sure to have moved before the writer's handle is closed.
bool stamp_handle(HANDLE h, FileStamp* stamp) {
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandle(h, &info) ||
        !GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        return fail_with(GetLastError());
    stamp->device = info.dwVolumeSerialNumber;
    stamp->file = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp->size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp->modified = ticks(info.ftLastWriteTime);
    stamp->changed = basic.ChangeTime.QuadPart;
    return true;
}

}  // namespace

bool stamp_of(std::FILE* f, FileStamp* stamp) { return stamp_handle(handle_of(f), stamp); }

bool stamp_at(const char* path, FileStamp* stamp) {
    // Only its attributes asked, which no sharing guards, and every sharing allowed: the stamp
    // never stands in another's way.
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_with(GetLastError());
    return close_after(h, stamp_handle(h, stamp));
}

// What Windows does its own way: file creation and replacement, the reports' words for Win32
// errors, and the console.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform.h"
#include "win32.h"
#include "windows_rules.h"

const char* own_line_end = "\r\n";

namespace {

// Not in MinGW's headers.
constexpr DWORD disk_quota_exceeded = 1295;  // ERROR_DISK_QUOTA_EXCEEDED
constexpr DWORD virus_infected = 225;        // ERROR_VIRUS_INFECTED
constexpr DWORD virus_deleted = 226;         // ERROR_VIRUS_DELETED
// Windows 10 1607's, which MinGW declares only for programs that need that version.
constexpr auto rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);  // FileRenameInfoEx
constexpr DWORD replace_if_exists = 0x1;  // FILE_RENAME_FLAG_REPLACE_IF_EXISTS
constexpr DWORD posix_semantics = 0x2;    // FILE_RENAME_FLAG_POSIX_SEMANTICS

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

// Sets errno for the Win32 error `code`: false, for the caller to return.
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

std::FILE* create_exclusive(const char* path) {
    // An open file that is not shared for deletion cannot be deleted: that is the lock a later
    // run respects. The access list it is given here may be replaced by the old file's.
    PrivateSecurity security;
    if (!security.get()) return nullptr;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, security.get(), CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        fail_with(GetLastError());
        return nullptr;
    }
    std::FILE* f = stream_of(h, "w+b");
    if (!f) DeleteFileA(path);
    return f;
}

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

namespace {

// What a new version takes from the file it replaces, besides its access list. Read-only is not
// among them: a read-only file is never replaced.
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Whether the new file shows the hidden and system attributes it was given: a file system may
// take them without keeping them (Wine, where it cannot store them): false with errno EIO.
bool hidden_and_system_kept(HANDLE h, DWORD old_attributes) {
    constexpr DWORD shown = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    FILE_BASIC_INFO now;
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &now, sizeof now))
        return fail_with(GetLastError());
    if ((now.FileAttributes & shown) == (old_attributes & shown)) return true;
    errno = EIO;
    return false;
}

bool copy_attributes(const char* from, HANDLE to) {
    WIN32_FILE_ATTRIBUTE_DATA old;
    if (!GetFileAttributesExA(from, GetFileExInfoStandard, &old))
        return GetLastError() == ERROR_FILE_NOT_FOUND || fail_with(GetLastError());
    FILE_BASIC_INFO basic = {};  // times left at 0 stay as they are
    basic.CreationTime.LowPart = old.ftCreationTime.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(old.ftCreationTime.dwHighDateTime);
    basic.FileAttributes = old.dwFileAttributes & kept_attributes;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(to, FileBasicInfo, &basic, sizeof basic))
        return fail_with(GetLastError());
    return hidden_and_system_kept(to, old.dwFileAttributes);
}

// Gives `to` the access list of the file `from`, protected from its folder's as that one is:
// false with errno set when it cannot. Called on a file this process made, so only the access
// list needs rights (the owner's own WRITE_DAC), never a privilege.
bool copy_access_list(const char* from, HANDLE to) {
    HANDLE h =
        CreateFileA(from, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || fail_with(GetLastError());
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD code = GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 &dacl, nullptr, &descriptor);
    CloseHandle(h);
    if (code != ERROR_SUCCESS) return fail_with(code);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    SECURITY_INFORMATION which =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                       : UNPROTECTED_DACL_SECURITY_INFORMATION);
    code = SetSecurityInfo(to, SE_FILE_OBJECT, which, nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    return code == ERROR_SUCCESS || fail_with(code);
}

}  // namespace

// A backup in the working folder (not `whole`) keeps the private access list it was made with.
const char* copy_permissions(const char* from, std::FILE* to, bool whole) {
    HANDLE h = handle_of(to);
    if (!whole || (copy_access_list(from, h) && copy_attributes(from, h))) return nullptr;
    return "chmod err";
}

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

// The rename with POSIX semantics (Windows 10 1607 and later, on NTFS), which replaces a file
// that other programs hold open: false (the error left for GetLastError) where it cannot.
bool posix_rename(const char* from, const char* to) {
    constexpr DWORD most = 4096;
    union {
        FILE_RENAME_INFO info;
        char space[sizeof(FILE_RENAME_INFO) + sizeof(wchar_t[most]) + 16];
    } rename = {};
    // An absolute name, as FILE_RENAME_INFO takes it.
    wchar_t wide[most];
    if (!MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, to, -1, wide, most)) return false;
    DWORD length = GetFullPathNameW(wide, most, rename.info.FileName, nullptr);
    if (length == 0 || length >= most) return false;
    // The flags share their place with ReplaceIfExists, the only name MinGW gives it here.
    DWORD flags = replace_if_exists | posix_semantics;
    std::memcpy(&rename.info, &flags, sizeof flags);
    rename.info.FileNameLength = length * sizeof(WCHAR);
    HANDLE h = CreateFileA(from, DELETE | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BOOL done = SetFileInformationByHandle(h, rename_info_ex, &rename, sizeof rename);
    DWORD code = GetLastError();
    CloseHandle(h);
    SetLastError(code);
    return done != FALSE;
}

// What MoveFileEx says while another program holds the target: without delete sharing, a
// sharing violation; with it, access denied. A scanner or an indexer lets go within moments.
bool maybe_held(DWORD code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED;
}

}  // namespace

// One rename, which swaps the name over to the new file in one step: the name never goes
// missing, as it does between the two renames of Windows' own replacement (ReplaceFile). The
// new file already has what it keeps of the old one (copy_permissions). A read-only `to` is
// refused; a holder of `to` is waited for a second.
bool rename_over(const char* from, const char* to) {
    DWORD attributes = GetFileAttributesA(to);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return fail_with(ERROR_FILE_READ_ONLY);
    DWORD code = ERROR_SUCCESS;
    for (int tries = 0; tries < 20 && (tries == 0 || maybe_held(code)); ++tries) {
        if (tries > 0) Sleep(50);
        // MOVEFILE_REPLACE_EXISTING lets it replace `to`. MOVEFILE_WRITE_THROUGH only makes a move
        // to another volume, which copies, wait for the copy's flush, never the case beside the
        // target: the rename reaches the disk with the folder's flush (sync_folder).
        if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        code = GetLastError();
    }
    if (maybe_held(code) && posix_rename(from, to)) return true;
    return fail_with(code == ERROR_ACCESS_DENIED && in_use(to) ? ERROR_SHARING_VIOLATION : code);
}

// Whatever refused the rename (a holder, with or without delete sharing; an access list that
// denies DELETE; a file system or a Windows without the POSIX rename), readers may have seen the
// copy half done.
bool in_place_copy_said() { return true; }

namespace {

// Whether the file open as `h` has an access list that lets someone in, but not everyone: false
// (errno set) when it has none, an empty one, or cannot be asked.
bool some_access(HANDLE h) {
    PACL dacl = nullptr;
    LocalMemory descriptor;
    DWORD code = GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 &dacl, nullptr, &descriptor.memory);
    if (code != ERROR_SUCCESS) return fail_with(code);
    if (dacl && dacl->AceCount > 0) return true;
    errno = nothing_inherited;
    return false;
}

}  // namespace

// An empty access list, not protected, set by name: the file keeps only what its folder passes on
// to new files, which the call given a handle is not documented to look up. Read back, none
// would let anyone write the file, an empty one no one read it (the DNS Client among them).
bool inherit_access(const char* path, std::FILE* f) {
    ACL empty;
    if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return fail_with(GetLastError());
    DWORD code =
        SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &empty, nullptr);
    return code == ERROR_SUCCESS ? some_access(handle_of(f)) : fail_with(code);
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

unsigned long process_id() { return GetCurrentProcessId(); }

// Reparse points, the mounts of a Windows folder, are refused by open_regular already.
std::FILE* open_same_mount(const char* path, const char* mode, const char** why) {
    return open_regular(path, mode, why);
}

// Windows files have no set-id bits, and no capability.
const char* copy_privileges(const char*, std::FILE*) { return nullptr; }

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

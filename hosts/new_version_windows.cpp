// A new version of a file on Windows: made private and held, given the access list and the
// attributes of the file it replaces (or what its folder passes on to new files), and put in its
// place in one rename that waits a moment for a holder.
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "new_version.h"
#include "win32.h"

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

unsigned long process_id() { return GetCurrentProcessId(); }

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
FailedStep copy_permissions(const char* from, std::FILE* to, bool whole) {
    HANDLE h = handle_of(to);
    if (!whole || (copy_access_list(from, h) && copy_attributes(from, h))) return FailedStep::none;
    return FailedStep::chmod;
}

namespace {

// Windows 10 1607's, which MinGW declares only for programs that need that version.
constexpr auto rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);  // FileRenameInfoEx
constexpr DWORD replace_if_exists = 0x1;  // FILE_RENAME_FLAG_REPLACE_IF_EXISTS
constexpr DWORD posix_semantics = 0x2;    // FILE_RENAME_FLAG_POSIX_SEMANTICS

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

// Windows files have no set-id bits, and no capability.
FailedStep copy_privileges(const char*, std::FILE*) { return FailedStep::none; }

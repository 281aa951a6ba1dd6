// What the Windows sources share, and no other file includes: Win32 errors as errno, the
// handle behind a stream, what an open file is, the security of a file kept private, and the
// trust decision on an open file.
#pragma once

#include <io.h>
#include <windows.h>

#include <cstdio>

/// Errors that no errno value names: errno is this plus the Win32 code, and error_text gives the
/// system's own message for it, far above the C runtime's values, which end below 200.
constexpr int system_words = 0x10000;
/// Nor any system error: a new file whose folder passed on an access list that is empty or none.
constexpr int nothing_inherited = system_words - 1;

/// The errno value the reports print for the Win32 error `code`; EIO for one of no other kind.
int errno_of(DWORD code);
/// Sets errno for the Win32 error `code`: false, for the caller to return.
bool fail_with(DWORD code);
/// Closes `h` after work that went as `done` says: `done`, with the work's errno, or false when
/// only the close failed.
bool close_after(HANDLE h, bool done);

/// The Win32 handle of the stream's file, which the stream still owns.
inline HANDLE handle_of(std::FILE* f) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
}
/// A stream for `h`, which it then owns: null (errno set, `h` closed) when none can be made.
std::FILE* stream_of(HANDLE h, const char* mode);
/// What the file open as `h` is, in not_regular's words, its tag info read into `*tag`: null for
/// a regular file.
const char* kind_of(HANDLE h, FILE_ATTRIBUTE_TAG_INFO* tag);

/// Frees what a security call gave, on every path.
struct LocalMemory {
    void* memory = nullptr;  ///< what LocalFree gives back
    ~LocalMemory() { LocalFree(memory); }
};

/// Security for a file that only its creator, the Administrators and SYSTEM may open, whatever
/// its folder grants: its access list is protected from the folder's.
class PrivateSecurity {
public:
    /// Makes the security for this process's user: get() null (errno set) when it cannot.
    PrivateSecurity();
    /// Frees the security descriptor.
    ~PrivateSecurity() { LocalFree(attributes_.lpSecurityDescriptor); }
    /// Not copied: one object owns the descriptor.
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;
    /// The attributes to create the file with: null (errno set) when they could not be made.
    SECURITY_ATTRIBUTES* get() { return attributes_.lpSecurityDescriptor ? &attributes_ : nullptr; }

private:
    SECURITY_ATTRIBUTES attributes_ = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

/// Why the file open as `h` is not to be trusted, in untrusted's words, from its owner and, for a
/// `source`, its access list: null when it is.
const char* trust_of(HANDLE h, bool source);

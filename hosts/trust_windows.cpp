// The trust decision on Windows: who this process is (its token's user and the owner it gives
// new files), the security of the files it keeps private, and whether a file's owner and access
// list leave it to this user alone.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <memory>
#include <new>
#include <string>

#include "trust.h"
#include "win32.h"
#include "windows_rules.h"

namespace {

// This process's user, and the owner its token gives new files (for an elevated administrator
// the Administrators group): both this user's own. Read once; null (errno set) until they can be.
struct TokenSids {
    PSID user = nullptr;
    PSID owner = nullptr;
};

const TokenSids& token_sids() {
    static union {
        TOKEN_USER user;
        char space[256];
    } user;
    static union {
        TOKEN_OWNER owner;
        char space[256];
    } owner;
    static TokenSids sids;
    HANDLE token;
    if (sids.user || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (!sids.user) fail_with(GetLastError());
        return sids;
    }
    DWORD size;
    if (GetTokenInformation(token, TokenUser, &user, sizeof user, &size) &&
        GetTokenInformation(token, TokenOwner, &owner, sizeof owner, &size)) {
        sids = {user.user.User.Sid, owner.owner.Owner};
    } else {
        fail_with(GetLastError());
    }
    CloseHandle(token);
    return sids;
}

// The process's user as an SDDL string: empty when it cannot be had (errno set).
std::string user_sid() {
    char* text = nullptr;
    PSID user = token_sids().user;
    if (!user || !ConvertSidToStringSidA(user, &text)) {
        if (user) fail_with(GetLastError());
        return "";
    }
    std::string sid = text;
    LocalFree(text);
    return sid;
}

// Whether `sid` is one of this user's own.
bool own_sid(PSID sid) {
    const TokenSids& own = token_sids();
    return (own.user && EqualSid(sid, own.user)) || (own.owner && EqualSid(sid, own.owner));
}

// Null, for an owner, is a file without one.
Principal principal_of(PSID sid) {
    if (!sid) return Principal::nobody;
    if (own_sid(sid)) return Principal::self;
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return Principal::administrators;
    return IsWellKnownSid(sid, WinLocalSystemSid) ? Principal::system : Principal::other;
}

// One access list entry as the trust decision sees it; entries only for what the folder's new
// files inherit give no one a right. Every type keeps its rights right after its header; only
// an ACCESS_ALLOWED entry is read for whom it names.
bool entry_of(const ACE_HEADER* header, AccessEntry* entry) {
    if (header->AceFlags & INHERIT_ONLY_ACE) return false;
    const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    bool masked = header->AceSize >= sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
    Principal who = header->AceType == ACCESS_ALLOWED_ACE_TYPE
                        ? principal_of(const_cast<DWORD*>(&allowed->SidStart))
                        : Principal::other;
    *entry = access_entry(header->AceType, masked ? allowed->Mask : ~0ul, who);
    return true;
}

// Why an owner and access list of a source, a file to be read into another, are not to be
// trusted.
const char* judged_source(PSID owner, const ACL* dacl) {
    std::size_t count = 0, aces = dacl ? dacl->AceCount : 0;
    std::unique_ptr<AccessEntry[]> entries(new (std::nothrow) AccessEntry[aces + 1]);
    if (!entries) return "of no known owner";
    for (std::size_t i = 0; i < aces; ++i) {
        void* ace = nullptr;
        if (!GetAce(const_cast<ACL*>(dacl), static_cast<DWORD>(i), &ace))
            return "of no known owner";
        if (entry_of(static_cast<ACE_HEADER*>(ace), &entries[count])) ++count;
    }
    return untrusted_by(principal_of(owner), dacl ? entries.get() : nullptr, count, true);
}

}  // namespace

PrivateSecurity::PrivateSecurity() {
    std::string user = user_sid();
    std::string sddl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + user + ")";
    if (!user.empty() &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(
            sddl.c_str(), SDDL_REVISION_1, &attributes_.lpSecurityDescriptor, nullptr)) {
        fail_with(GetLastError());
    }
}

// The access list is read only for a source.
const char* trust_of(HANDLE h, bool source) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory descriptor;
    SECURITY_INFORMATION which =
        OWNER_SECURITY_INFORMATION | (source ? DACL_SECURITY_INFORMATION : 0);
    if (GetSecurityInfo(h, SE_FILE_OBJECT, which, &owner, nullptr, source ? &dacl : nullptr,
                        nullptr, &descriptor.memory) != ERROR_SUCCESS)
        return "of no known owner";
    return source ? judged_source(owner, dacl)
                  : untrusted_by(principal_of(owner), nullptr, 0, false);
}

// Another user's file is untrusted; a `source` also when others may write it or it has another
// name.
const char* untrusted(std::FILE* f, bool source) {
    if (const char* why = trust_of(handle_of(f), source)) return why;
    // Another name for the file may be anyone's, as on POSIX systems.
    BY_HANDLE_FILE_INFORMATION info = {};
    if (source && !GetFileInformationByHandle(handle_of(f), &info)) return "of no known owner";
    return source && info.nNumberOfLinks > 1 ? "a hard link" : nullptr;
}

bool abandoned(const char* path, unsigned long pid) {
    // A leftover with this process's own id was left by an earlier holder of the id (before a
    // restart; a fresh Wine server always gives the first program the same one): the files this
    // process made are still open, which the open below finds.
    HANDLE process = pid == GetCurrentProcessId()
                         ? nullptr
                         : OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process) {
        bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
        CloseHandle(process);
        if (running) return false;
    }
    // Shared with nobody: this fails while a running instance still has the file open.
    HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    // Another user's file of that name is theirs, whatever it is: never this user's to remove.
    bool own = trust_of(h, false) == nullptr;
    CloseHandle(h);
    return own;
}

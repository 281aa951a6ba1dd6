// Windows' rules that need no Windows to run: what a reparse tag makes of a file, and whom a
// file's owner and access list let write it. For the Windows sources, and for their tests on any
// system.
#pragma once

#include <cstddef>

/// What a Windows reparse point with tag `tag` makes of its file, in not_regular's words: null for
/// a regular file.
inline const char* reparse_kind(unsigned long tag) {
    // A name surrogate (symbolic link, junction, mount point) leads to another name, and WSL
    // keeps FIFOs, sockets and devices as reparse points. Any other tag's file is a regular file
    // whose data a driver keeps (a cloud placeholder, a deduplicated file).
    constexpr unsigned long name_surrogate = 0x20000000;  // IsReparseTagNameSurrogate
    constexpr unsigned long mount_point = 0xA0000003;     // IO_REPARSE_TAG_MOUNT_POINT
    if (tag & name_surrogate) return tag == mount_point ? "a junction" : "a symbolic link";
    switch (tag) {
    case 0x80000023: return "a socket";  // IO_REPARSE_TAG_AF_UNIX
    case 0x80000024: return "a FIFO";    // IO_REPARSE_TAG_LX_FIFO
    case 0x80000025:                     // IO_REPARSE_TAG_LX_CHR
    case 0x80000026: return "a device";  // IO_REPARSE_TAG_LX_BLK
    default: return nullptr;
    }
}

/// Who holds a right over a Windows file, as the trust decision sorts a security identifier;
/// nobody stands for the missing owner of a file that has none.
enum class Principal { self, administrators, system, other, nobody };
/// One entry of a Windows access list, as the trust decision sees it.
struct AccessEntry {
    Principal who;  ///< whom it names
    bool writes;    ///< whether it lets them write
};
/// A Windows access list's entry of ACE type `type` with the rights `mask`, naming `who`, as the
/// trust decision takes it: whom it lets write, if anyone.
inline AccessEntry access_entry(unsigned type, unsigned long mask, Principal who) {
    // FILE_WRITE_DATA, FILE_APPEND_DATA, WRITE_DAC, WRITE_OWNER, GENERIC_WRITE, GENERIC_ALL and
    // MAXIMUM_ALLOWED: the rights that change what a file holds, or who may change it.
    constexpr unsigned long write_rights =
        0x2 | 0x4 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000 | 0x2000000;
    // ACCESS_DENIED, ACCESS_DENIED_OBJECT, ACCESS_DENIED_CALLBACK, ACCESS_DENIED_CALLBACK_OBJECT.
    bool denial = type == 0x1 || type == 0x6 || type == 0xA || type == 0xC;
    // Of a type newer than SYSTEM_ACCESS_FILTER (0x15) not even the rights are known.
    bool writes = !denial && (type > 0x15 || (mask & write_rights) != 0);
    // Only ACCESS_ALLOWED (0) names whom it lets: any other type's is taken for another user.
    return {type == 0x0 ? who : Principal::other, writes};
}
/// Why a Windows file with this owner and access list is not to be trusted, in untrusted's words:
/// null if it is.
inline const char* untrusted_by(Principal owner, const AccessEntry* entries, std::size_t count,
                                bool source) {
    if (owner == Principal::nobody) return "of no known owner";
    // A null list is none at all, which lets anyone write.
    bool trusted_owner = owner == Principal::self || (source && owner != Principal::other);
    if (!trusted_owner) return "owned by another user";
    if (!source) return nullptr;
    if (!entries) return "writable by others";
    for (std::size_t i = 0; i < count; ++i)
        if (entries[i].writes && entries[i].who == Principal::other) return "writable by others";
    return nullptr;
}

// Windows' pure rules, which the Linux build can test for Windows too.
#include "windows_rules.h"

#include <gtest/gtest.h>

#include <string>

TEST(ReparseKind, RefusesNameSurrogatesAndWslSpecialFilesButTakesEveryOtherTagAsARegularFile) {
    struct Case {
        unsigned long tag;
        const char* kind;  // null: a regular file
    };
    const Case cases[] = {
        {0xA000000C, "a symbolic link"},  // IO_REPARSE_TAG_SYMLINK
        {0xA0000003, "a junction"},       // IO_REPARSE_TAG_MOUNT_POINT
        {0xA000001D, "a symbolic link"},  // IO_REPARSE_TAG_LX_SYMLINK, WSL's
        {0xA0000027, "a symbolic link"},  // IO_REPARSE_TAG_WCI_LINK, a container's
        {0x20001234, "a symbolic link"},  // another vendor's name surrogate
        {0x80000023, "a socket"},         // IO_REPARSE_TAG_AF_UNIX
        {0x80000024, "a FIFO"},           // IO_REPARSE_TAG_LX_FIFO
        {0x80000025, "a device"},         // IO_REPARSE_TAG_LX_CHR
        {0x80000026, "a device"},         // IO_REPARSE_TAG_LX_BLK
        {0x9000001A, nullptr},            // IO_REPARSE_TAG_CLOUD, a cloud placeholder
        {0x9000F01A, nullptr},            // IO_REPARSE_TAG_CLOUD_F
        {0x80000021, nullptr},            // IO_REPARSE_TAG_ONEDRIVE
        {0x80000013, nullptr},            // IO_REPARSE_TAG_DEDUP, a deduplicated file
        {0x8000001B, nullptr},            // IO_REPARSE_TAG_APPEXECLINK, no name surrogate
        {0x8000000A, nullptr},            // IO_REPARSE_TAG_DFS
        {0x9000001C, nullptr},            // IO_REPARSE_TAG_PROJFS, a projected file
        {0x00001234, nullptr},            // another vendor's data, no name surrogate
    };
    for (const Case& c : cases) {
        const char* kind = reparse_kind(c.tag);
        EXPECT_EQ(kind ? std::string(kind) : "a regular file",
                  c.kind ? std::string(c.kind) : "a regular file")
            << std::hex << "tag 0x" << c.tag;
    }
}

TEST(UntrustedBy, TrustsOnlyTheUsersOwnOrForASourceTheSystemsWhenNoOneElseMayWrite) {
    using P = Principal;
    const AccessEntry private_list[] = {
        {P::system, true}, {P::administrators, true}, {P::self, true}};
    const AccessEntry readers[] = {{P::self, true}, {P::other, false}};  // Users may read
    const AccessEntry writers[] = {{P::self, true}, {P::other, true}};   // Users may write
    // An allowing entry of another type than ACCESS_ALLOWED is another's write, whomever it
    // names: ACCESS_ALLOWED_COMPOUND with FILE_WRITE_DATA, a type newer than any known with
    // FILE_READ_DATA; a denial (ACCESS_DENIED_CALLBACK) lets no one write.
    const AccessEntry compound[] = {access_entry(0x4, 0x2, P::self)};
    const AccessEntry newer[] = {access_entry(0x16, 0x1, P::self)};
    const AccessEntry denial[] = {access_entry(0xA, 0x2, P::other), access_entry(0, 0x1, P::other)};
    struct Case {
        P owner;
        const AccessEntry* list;  // null: no access list, which lets everyone write
        std::size_t count;
        bool source;
        const char* why;  // null: trusted
    };
    const Case cases[] = {
        {P::self, private_list, 3, true, nullptr},
        {P::administrators, readers, 2, true, nullptr},  // an elevated administrator's file
        {P::system, private_list, 3, true, nullptr},
        {P::other, private_list, 3, true, "owned by another user"},
        {P::administrators, private_list, 3, false, "owned by another user"},
        {P::self, writers, 2, true, "writable by others"},
        {P::self, nullptr, 0, true, "writable by others"},
        {P::self, writers, 2, false, nullptr},  // a leftover of the user's own, swept
        {P::self, compound, 1, true, "writable by others"},
        {P::self, newer, 1, true, "writable by others"},
        {P::self, denial, 2, true, nullptr},
        {P::nobody, private_list, 3, true, "of no known owner"},
        {P::nobody, private_list, 3, false, "of no known owner"},
    };
    for (const Case& c : cases) {
        const char* why = untrusted_by(c.owner, c.list, c.count, c.source);
        EXPECT_EQ(why ? std::string(why) : "trusted", c.why ? std::string(c.why) : "trusted")
            << "owner " << static_cast<int>(c.owner) << ", " << c.count << " entries, source "
            << c.source;
    }
}

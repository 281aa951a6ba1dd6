#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "streams.h"
#include "table_memory.h"
#include "test_files.h"
#include "texts.h"

namespace {

std::string trimmed(std::string text) {
    text.push_back('\0');
    EXPECT_EQ(format_string(&text[0]), line_ok);
    return text.c_str();
}

struct Split {
    int ret;
    std::string ip, url, out;
};

Split split(const std::string& src) {
    char ip[sizeof(Config::ip)] = "untouched";
    char url[sizeof(Config::url)] = "untouched";
    testing::internal::CaptureStdout();
    int ret = separate_str(src.c_str(), ip, url);
    return {ret, ip, url, testing::internal::GetCapturedStdout()};
}

using Entries = std::vector<std::string>;

struct Load {
    int ret;
    Entries entries;
    std::string out, err;
};

// Loads `bytes` as a hosts file into a table that held one entry before.
Load load(const std::string& bytes) {
    TempDir dir;
    std::string path = dir.path("hosts");
    write_file(path, bytes);
    Table table(static_cast<Config*>(table_alloc(sizeof(Config))), TableFree{1});
    table[0] = Config{"old", "table"};
    int number = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int ret = hosts_read(&table, &number, path.c_str());
    Load result{
        ret, {}, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    for (int i = 0; i < number; ++i)
        result.entries.push_back(std::string(table[i].ip) + "|" + table[i].url);
    return result;
}

// A file's load and what it must give: the entries, or the old table's when it fails.
struct ReadCase {
    const char* what;
    std::string bytes;
    int ret;
    Entries entries;
    std::string out{};
};

}  // namespace

TEST(FormatString, TrimsTrailingWhiteSpaceAfterTheHostName) {
    EXPECT_EQ(trimmed("127.0.0.1 a.com  \t\r\n"), "127.0.0.1 a.com");
    EXPECT_EQ(trimmed("a\v\f"), "a");
}

TEST(FormatString, LeavesBlankAndEmptyLinesAsTheyWere) {
    EXPECT_EQ(trimmed(" \t\r\n"), " \t\r\n");
    EXPECT_EQ(trimmed(""), "");
    EXPECT_EQ(format_string(nullptr), line_null);
}

TEST(FormatString, NeverTakesHighBytesForWhiteSpace) {
    EXPECT_EQ(trimmed("1.1.1.1 \xC4\xE3\xA0\x85 \n"), "1.1.1.1 \xC4\xE3\xA0\x85");
}

TEST(SeparateStr, SplitsAtTheFirstSpaceOrTabAndStartsTheHostAfterTheBlanksThere) {
    Split s = split("1.2.3.4 a.com b.com # note");
    EXPECT_EQ(s.ret, line_ok);
    EXPECT_EQ(s.ip, "1.2.3.4");
    EXPECT_EQ(s.url, "a.com b.com # note");
    EXPECT_EQ(split("::1 localhost").ip, "::1");
    EXPECT_EQ(split("1.2.3.4\ta.com").url, "a.com");
    EXPECT_EQ(split("1.2.3.4  \t a.com\tb ").url, "a.com\tb ");
    EXPECT_EQ(split("1.2.3.4\v\f\r a.com").ip, "1.2.3.4\v\f\r");
}

TEST(SeparateStr, GivesEmptyPartsAroundAnEdgeSpace) {
    Split trailing = split("1.2.3.4 ");
    EXPECT_EQ(trailing.ret, line_ok);
    EXPECT_EQ(trailing.ip, "1.2.3.4");
    EXPECT_EQ(trailing.url, "");
    Split leading = split(" a.com");
    EXPECT_EQ(leading.ret, line_ok);
    EXPECT_EQ(leading.ip, "");
    EXPECT_EQ(leading.url, "a.com");
}

TEST(SeparateStr, RefusesALineWithNeitherSpaceNorTabAndTouchesNothing) {
    Split s = split("1.2.3.4\va.com");
    EXPECT_EQ(s.ret, line_no_space);
    EXPECT_EQ(s.out, "space_loc:1.2.3.4\va.com\n");
    EXPECT_EQ(s.ip, "untouched");
    EXPECT_EQ(s.url, "untouched");
    char part[300];
    EXPECT_EQ(separate_str(nullptr, part, part), line_null);
    EXPECT_EQ(separate_str("a b", nullptr, part), line_null);
    EXPECT_EQ(separate_str("a b", part, nullptr), line_null);
}

TEST(SeparateStr, RefusesPartsLongerThanTheirFieldsRatherThanCutThem) {
    std::string ip49(49, '1'), host299(299, 'h');
    EXPECT_EQ(split(ip49 + " " + host299).ret, line_ok);
    EXPECT_EQ(split(ip49 + " \t " + host299).url, host299);
    Split long_ip = split(ip49 + "1 a");
    EXPECT_EQ(long_ip.ret, line_part_too_long);
    EXPECT_EQ(long_ip.out, "part_len:" + ip49 + "1 a\n");
    EXPECT_EQ(long_ip.ip, "untouched");
    EXPECT_EQ(split("a " + host299 + "h").ret, line_part_too_long);
}

TEST(EntryLine, IsNeitherACommentNorIndented) {
    EXPECT_FALSE(is_entry_line("# 127.0.0.1 a"));
    EXPECT_FALSE(is_entry_line("\n"));
    EXPECT_FALSE(is_entry_line(" 127.0.0.1 a"));
    EXPECT_FALSE(is_entry_line("\t127.0.0.1 a"));
    EXPECT_TRUE(is_entry_line("127.0.0.1 a"));
    EXPECT_TRUE(is_entry_line("\xC4\xE3 a"));
    EXPECT_TRUE(is_entry_line(""));
}

TEST(HostsRead, LoadsEachEntryLineOfAFileOrFailsAtTheFirstItCannotSplitKeepingTheOldTable) {
    const std::string comment = "#" + std::string(4094, 'c'), mark = "\xEF\xBB\xBF";
    const std::string overlong = "1.2.3.4 " + std::string(300, 'h');
    const Entries old{"old|table"};
    const ReadCase cases[] = {
        {"a file of comments loads as an empty table, silently", "# header\n\n   \n\t# indented\n",
         read_ok, Entries{}},
        {"comments and indented lines before and between entries are skipped",
         "# c\n127.0.0.1 localhost \r\n\n 10.0.0.1 hidden\n::1 ip6-localhost\n"
         "\xC4\xE3 \xBA\xC3\n1.2.3.4 a b # both\n",
         read_ok,
         Entries{"127.0.0.1|localhost", "::1|ip6-localhost", "\xC4\xE3|\xBA\xC3",
                 "1.2.3.4|a b # both"}},
        {"tab-separated and aligned lines load with their host text alone",
         "127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost\n192.168.1.10    nas \t\r\n",
         read_ok,
         Entries{"127.0.0.1|localhost", "::1|localhost ip6-localhost", "192.168.1.10|nas"}},
        {"the first line split by neither space nor tab fails the load and keeps the old table",
         "127.0.0.1 a\n10.0.0.1\vb\n10.0.0.2\vc\n", read_unsplittable, old,
         "space_loc:10.0.0.1\vb\n" + err_line("separate_str", line_no_space)},
        {"a line that starts with NUL is an unsplittable entry",
         std::string("127.0.0.1 a\n\0rest of it\n", 24), read_unsplittable, old,
         "space_loc:\n" + err_line("separate_str", line_no_space)},
        {"an overlong part is refused with its own code", "127.0.0.1 a\n" + overlong + "\n",
         read_part_too_long, old,
         "part_len:" + overlong + "\n" + err_line("separate_str", line_part_too_long)},
        {"a long line is read in pieces of 4095 bytes in both passes",
         comment + "10.0.0.1 tail\n" + comment + "\n127.0.0.1 a\n", read_ok,
         Entries{"10.0.0.1|tail", "127.0.0.1|a"}},
        {"a byte-order mark before a comment is ignored", mark + "# comment\n", read_ok, Entries{}},
        {"a byte-order mark alone is an empty file", mark, read_ok, Entries{}},
        {"a byte-order mark before an entry is ignored", mark + "127.0.0.1 a\n", read_ok,
         Entries{"127.0.0.1|a"}},
        {"a byte-order mark after the start is part of its entry",
         "127.0.0.1 a\n" + mark + "1.1.1.1 b\n", read_ok,
         Entries{"127.0.0.1|a", mark + "1.1.1.1|b"}},
        {"an end-of-file byte after the last line end is ignored",
         "127.0.0.1 a\r\n10.0.0.1 b\r\n\x1a", read_ok, Entries{"127.0.0.1|a", "10.0.0.1|b"}},
        {"an end-of-file byte that ends the last line is ignored", "127.0.0.1 a\x1a", read_ok,
         Entries{"127.0.0.1|a"}},
        {"an end-of-file byte before a line end is the line's", "127.0.0.1 a\x1a\n", read_ok,
         Entries{"127.0.0.1|a\x1a"}},
        {"the first line has its full 4095 bytes after a byte-order mark",
         mark + "#" + std::string(4093, 'c') + "\n127.0.0.1 a\n", read_ok, Entries{"127.0.0.1|a"}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        Load l = load(c.bytes);
        EXPECT_EQ(l.ret, c.ret);
        EXPECT_EQ(l.entries, c.entries);
        EXPECT_EQ(l.out, c.out);
        EXPECT_EQ(l.err, "");
    }
}

TEST(HostsRead, ReportsAMissingFile) {
    TempDir dir;
    Table table;
    int number = 7;
    testing::internal::CaptureStderr();
    EXPECT_EQ(hosts_read(&table, &number, dir.path("absent").c_str()), read_open_failed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "hosts_read fopen err: No such file or directory\n");
    EXPECT_EQ(number, 7);
    EXPECT_EQ(line_n(dir.path("absent").c_str()), count_failed);
}

TEST(HostsRead, NeedsWriteAccessEvenToList) {
    TempDir dir;
    // Named before the fork: the child may not be able to see the test's working folder.
    const std::string path = dir.path("hosts");
    write_file(path, "127.0.0.1 a\n");
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::others_read);
    testing::internal::CaptureStderr();
    // Root may write any file, so the load runs as an ordinary user in a child process.
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(100);
        Table table;
        int number = 0;
        _exit(-hosts_read(&table, &number, path.c_str()));
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), -read_open_failed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "hosts_read fopen err: Permission denied\n");
}

TEST(LoadEntries, FailsWhenTheFileGainedOrLostEntriesSinceTheCount) {
    TempDir dir;
    write_file(dir.path("hosts"), "127.0.0.1 a\n127.0.0.1 b\n");
    for (int count : {1, 3}) {
        File f = open_file(dir.path("hosts").c_str(), "r");
        Table table;
        testing::internal::CaptureStdout();
        EXPECT_EQ(load_entries(f.get(), count, &table), read_changed);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), texts::read_changed);
        EXPECT_EQ(table, nullptr);
    }
}

// Under AddressSanitizer the table comes from its heap, which must fail as the system would.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

TEST(LoadEntries, ReportsATableItCannotAllocateAndKeepsTheOldOne) {
    TempDir dir;
    write_file(dir.path("hosts"), "127.0.0.1 a\n");
    File f = open_file(dir.path("hosts").c_str(), "rb");
    testing::internal::CaptureStderr();
    // The address space is capped in a child, 64 MiB above what it uses, so a million slots
    // (337 MiB) cannot be mapped while the report can still be written.
    pid_t child = fork();
    if (child == 0) {
        Table table(static_cast<Config*>(table_alloc(sizeof(Config))), TableFree{1});
        table[0] = Config{"old", "table"};
        long pages = std::atol(read_file("/proc/self/statm").c_str());  // 0 when unread
        rlim_t cap = pages * sysconf(_SC_PAGESIZE) + (64 << 20);
        rlimit limit{cap, cap};
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(100);
        int ret = load_entries(f.get(), 1000000, &table);
        _exit(ret == read_no_memory && std::strcmp(table[0].url, "table") == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "build p err: Cannot allocate memory\n");
}

// Changing a hosts file by a request: appends, rewrites without an entry, and their failures.
#include <sys/stat.h>

#include "test_files.h"
#include "texts.h"

namespace {

struct Update {
    int ret = 0;
    std::string file, out, err;
};

// A hosts file in a fresh folder, loaded into a table that updates then run against, as a
// command loads the file before it changes it.
class Loaded {
public:
    explicit Loaded(const std::string& bytes) : path_(dir_.path("hosts")) {
        write_file(path_, bytes);
        testing::internal::CaptureStdout();
        EXPECT_EQ(hosts_read(&table_, &n_, path_.c_str()), read_ok);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    const std::string& path() const { return path_; }
    std::string folder() const { return list_dir(dir_.root().string()); }

    // Runs the update of `request` and returns what it printed and left in the file.
    Update update(const std::string& request, Mode mode) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int ret = hosts_write(table_.get(), n_, request.c_str(), mode, path_.c_str());
        std::string out = testing::internal::GetCapturedStdout();
        return {ret, read_file(path_), out, testing::internal::GetCapturedStderr()};
    }
    // The same while writes to files past `limit` bytes fail.
    Update update(const std::string& request, Mode mode, rlim_t limit) {
        FileSizeLimit cap(limit);
        return update(request, mode);
    }

private:
    TempDir dir_;
    std::string path_;
    Table table_;
    int n_ = 0;
};

// Loads `bytes` as the hosts file and updates it by `request`, which must report no system
// error and leave nothing beside the file.
Update update(const std::string& bytes, const std::string& request, Mode mode) {
    Loaded hosts(bytes);
    Update result = hosts.update(request, mode);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(hosts.folder(), "hosts ");
    return result;
}

// What a delete prints for a host the file lacks.
std::string missing(const std::string& request) { return filled(texts::write_missing, request); }

const char* const stock_header =
    "# Copyright (c) 1993-2009 Microsoft Corp.\n"
    "#\n"
    "# This is a sample HOSTS file used by Microsoft TCP/IP for Windows.\n"
    "#\n"
    "# localhost name resolution is handled within DNS itself.\n"
    "#\t127.0.0.1       localhost\n"
    "#\t::1             localhost\n"
    "\n";

// `text` with each "$" turned into `end`.
std::string with_line_end(std::string text, const std::string& end) {
    for (std::size_t pos = text.find('$'); pos != std::string::npos; pos = text.find('$', pos)) {
        text.replace(pos, 1, end);
        pos += end.size();
    }
    return text;
}

// One update of a file by a request, and what it must give. In `want`, "$" stands for the line
// end of the lines the program writes itself, so that every row is tried with LF and CR LF.
struct Change {
    const char* what;
    std::string file;
    std::string request;
    Mode mode;
    int ret;
    std::string out;
    std::string want;
};

}  // namespace

TEST(HostsWrite, ChangesOnlyWhatTheRequestAsksAndEndsItsOwnLinesThePlatformsWay) {
    const std::string header = stock_header;
    const std::string kept_lines = "1.1.1.1 a\n# between\n\n  2.2.2.2 indented\n3.3.3.3 b\t \n";
    const std::string nul_comment("# a\0b\n", 6);
    const std::string comment = "#" + std::string(4093, 'c');  // its CR ends a 4095-byte piece
    const std::string mark = "\xEF\xBB\xBF";
    const std::vector<Change> changes = {
        {"a new host is appended and nothing else", "127.0.0.1 localhost\n", "1.2.3.4 a.com",
         add_mode, write_ok, "", "127.0.0.1 localhost\n1.2.3.4 a.com$"},
        {"an add to a file without entries starts a line of its own", "# only a comment",
         "1.2.3.4 a.com", add_mode, write_ok, "", "# only a comment$1.2.3.4 a.com$"},
        {"a delete in a file without entries ends its last line, then misses", "# c\n",
         "1.2.3.4 a.com", delete_mode, write_missing, missing("1.2.3.4 a.com"), "# c\n$"},
        {"an append never joins an unfinished last entry", "127.0.0.1 a", "1.2.3.4 b", add_mode,
         write_ok, "", "127.0.0.1 a$1.2.3.4 b$"},
        {"an append never joins an unfinished last comment", "127.0.0.1 a\n# end", "1.2.3.4 b",
         add_mode, write_ok, "", "127.0.0.1 a\n# end$1.2.3.4 b$"},
        {"a replace never joins an unfinished last comment", "127.0.0.1 a\n# end", "1.2.3.4 a",
         add_mode, write_ok, at(0), "# end$1.2.3.4 a$"},
        {"a carriage return alone ends no line", "127.0.0.1 a\r", "1.2.3.4 b", add_mode, write_ok,
         "", "127.0.0.1 a\r$1.2.3.4 b$"},
        {"the same host is replaced at the end in the request's wording",
         "1.1.1.1 a\n2.2.2.2 b   \n3.3.3.3 c\n", "9.9.9.9 b", add_mode, write_ok, at(1),
         "1.1.1.1 a\n3.3.3.3 c\n9.9.9.9 b$"},
        {"a delete goes by the host part whatever the address", "1.1.1.1 a\n2.2.2.2 b\n3.3.3.3 c\n",
         "0.0.0.0 b", delete_mode, write_ok, at(1), "1.1.1.1 a\n3.3.3.3 c\n"},
        {"a replace takes only the first of two equal hosts", "1.1.1.1 a\n2.2.2.2 a\n", "3.3.3.3 a",
         add_mode, write_ok, at(0), "2.2.2.2 a\n3.3.3.3 a$"},
        {"a delete takes only the first of two equal hosts", "1.1.1.1 a\n2.2.2.2 a\n", "3.3.3.3 a",
         delete_mode, write_ok, at(0), "2.2.2.2 a\n"},
        {"a host in other case is another host", "1.1.1.1 a.com\n2.2.2.2  b.com\n", "1.1.1.1 A.com",
         delete_mode, write_missing, missing("1.1.1.1 A.com"), "1.1.1.1 a.com\n2.2.2.2  b.com\n"},
        {"a host with a comment after it is another host", "1.1.1.1 a.com\n2.2.2.2  b.com\n",
         "1.1.1.1 a.com # note", delete_mode, write_missing, missing("1.1.1.1 a.com # note"),
         "1.1.1.1 a.com\n2.2.2.2  b.com\n"},
        {"a request split by a tab matches a host aligned with spaces",
         "1.1.1.1 a.com\n2.2.2.2  b.com\n", "1.1.1.1\tb.com", delete_mode, write_ok, at(1),
         "1.1.1.1 a.com\n"},
        {"a request aligned with spaces matches a host after a tab",
         "1.1.1.1 a.com\n2.2.2.2\tb.com\n", "1.1.1.1   b.com", delete_mode, write_ok, at(1),
         "1.1.1.1 a.com\n"},
        {"a request with trailing blanks is appended as typed", "1.1.1.1 a.com\n",
         "2.2.2.2 a.com  ", add_mode, write_ok, "", "1.1.1.1 a.com\n2.2.2.2 a.com  $"},
        {"a replace keeps every line that is not an entry where it stood",
         header + kept_lines + "#\xB1\xB8\xD7\xA2 \r\n4.4.4.4 c\n# tail", "5.5.5.5 b", add_mode,
         write_ok, at(1),
         header + "1.1.1.1 a\n# between\n\n  2.2.2.2 indented\n#\xB1\xB8\xD7\xA2 \r\n" +
             "4.4.4.4 c\n# tail$5.5.5.5 b$"},
        {"a delete keeps every line that is not an entry where it stood",
         header + kept_lines + "#\xB1\xB8\xD7\xA2 \r\n4.4.4.4 c\n# tail", "1.1.1.1 a", delete_mode,
         write_ok, at(0),
         header + "# between\n\n  2.2.2.2 indented\n3.3.3.3 b\t \n#\xB1\xB8\xD7\xA2 \r\n" +
             "4.4.4.4 c\n# tail"},
        {"a comment that holds a NUL byte is kept", nul_comment + "1.1.1.1 a\n2.2.2.2 b\n",
         "1.1.1.1 a", delete_mode, write_ok, at(0), nul_comment + "2.2.2.2 b\n"},
        {"a delete keeps the byte-order mark at the start", mark + "1.1.1.1 a\n2.2.2.2 b\n",
         "1.1.1.1 a", delete_mode, write_ok, at(0), mark + "2.2.2.2 b\n"},
        {"a replace keeps the byte-order mark at the start", mark + "1.1.1.1 a\n", "1.1.1.1 a",
         add_mode, write_ok, at(0), mark + "1.1.1.1 a$"},
        {"an entry that begins with the mark's bytes gets a mark before it at the top",
         "1.1.1.1 a\n" + mark + "2.2.2.2 b\n", "1.1.1.1 a", delete_mode, write_ok, at(0),
         mark + mark + "2.2.2.2 b\n"},
        {"the file the row above leaves loads and grows with both marks",
         mark + mark + "2.2.2.2 b\n", "3.3.3.3 c", add_mode, write_ok, "",
         mark + mark + "2.2.2.2 b\n3.3.3.3 c$"},
        {"kept lines keep their own line ends",
         "# crlf\r\n# lf only\n127.0.0.1 a\r\n10.0.0.1 b\r\n", "0 a", delete_mode, write_ok, at(0),
         "# crlf\r\n# lf only\n10.0.0.1 b\r\n"},
        {"a long comment keeps the CR that ends its first piece",
         comment + "\r\n127.0.0.1 a\r\n10.0.0.1 b\r\n", "0 a", delete_mode, write_ok, at(0),
         comment + "\r\n10.0.0.1 b\r\n"},
        {"kept entries keep their separators, blanks and line ends",
         "1.1.1.1\t a \r\n2.2.2.2 b\n3.3.3.3    c\t\n", "9.9.9.9 b", add_mode, write_ok, at(1),
         "1.1.1.1\t a \r\n3.3.3.3    c\t\n9.9.9.9 b$"},
        {"a last entry keeps its missing line end until a request follows it",
         "1.1.1.1 a\n2.2.2.2\tb", "9.9.9.9 a", add_mode, write_ok, at(0), "2.2.2.2\tb$9.9.9.9 a$"},
        {"an append after a lone CR starts a line", "# no end\r", "1.1.1.1 a", add_mode, write_ok,
         "", "# no end\r$1.1.1.1 a$"},
        {"an append after a line end writes none first", "1.1.1.1 a\n", "2.2.2.2 b", add_mode,
         write_ok, "", "1.1.1.1 a\n2.2.2.2 b$"},
        {"an append after an unfinished entry writes a line end first", "1.1.1.1 a", "2.2.2.2 b",
         add_mode, write_ok, "", "1.1.1.1 a$2.2.2.2 b$"},
        {"a missing host in a file without entries", "# c\n", "2.2.2.2 b", delete_mode,
         write_missing, missing("2.2.2.2 b"), "# c\n$"},
        {"a delete keeps the end-of-file byte last", "127.0.0.1 a\r\n10.0.0.1 b\r\n\x1a", "0 a",
         delete_mode, write_ok, at(0), "10.0.0.1 b\r\n\x1a"},
        {"a replace keeps the end-of-file byte last", "127.0.0.1 a\r\n10.0.0.1 b\r\n\x1a",
         "9.9.9.9 a", add_mode, write_ok, at(0), "10.0.0.1 b\r\n9.9.9.9 a$\x1a"},
        {"an append goes before the end-of-file byte", "127.0.0.1 a\r\n\x1a", "1.2.3.4 c", add_mode,
         write_ok, "", "127.0.0.1 a\r\n1.2.3.4 c$\x1a"},
        {"an append ends the line before the end-of-file byte", "127.0.0.1 a\x1a", "1.2.3.4 c",
         add_mode, write_ok, "", "127.0.0.1 a$1.2.3.4 c$\x1a"},
        {"a missing host leaves a file with entries and an end-of-file byte", "127.0.0.1 a\x1a",
         "1.2.3.4 c", delete_mode, write_missing, missing("1.2.3.4 c"), "127.0.0.1 a\x1a"},
        {"an append to comments goes before the end-of-file byte", "# c\r\n\x1a", "1.2.3.4 c",
         add_mode, write_ok, "", "# c\r\n$1.2.3.4 c$\x1a"},
        {"only the last of two end-of-file bytes is the file's", "# c\x1a\x1a", "1.2.3.4 c",
         delete_mode, write_missing, missing("1.2.3.4 c"), "# c\x1a$\x1a"},
        {"a mark and an end-of-file byte alone", mark + "\x1a", "1.2.3.4 c", add_mode, write_ok, "",
         mark + "$1.2.3.4 c$\x1a"},
        {"an end-of-file byte inside a line is the line's", "# a\x1a\r\n1.1.1.1 a\n2.2.2.2 b\n",
         "0 a", delete_mode, write_ok, at(0), "# a\x1a\r\n2.2.2.2 b\n"},
    };
    for (const char* end : {"\n", "\r\n"}) {
        OwnLineEnd own(end);
        for (const Change& c : changes) {
            SCOPED_TRACE(std::string(c.what) + (end[0] == '\r' ? ", CR LF" : ", LF"));
            Update u = update(c.file, c.request, c.mode);
            EXPECT_EQ(u.ret, c.ret);
            EXPECT_EQ(u.out, c.out);
            EXPECT_EQ(u.file, with_line_end(c.want, end));
        }
    }
}

TEST(HostsWrite, RefusesRequestsThatCannotFormAnEntry) {
    using namespace std::string_literals;
    std::string file = "1.1.1.1 a\n";
    for (Mode mode : {add_mode, delete_mode}) {
        for (std::string request :
             {""s, "1.1.1.1"s, "1.1.1.1\va"s, "1.1.1.1\t"s, "1.1.1.1 \t \r"s,
              std::string(50, '1') + " a", "1.1.1.1 " + std::string(300, 'a'), " a.example"s,
              "#x b.example"s, "\t1.1.1.1 a"s, "\r1.1.1.1 a"s}) {
            Update u = update(file, request, mode);
            EXPECT_EQ(u.ret, write_malformed) << request;
            EXPECT_EQ(u.out, filled(texts::write_malformed, request));
            EXPECT_EQ(u.file, file);
        }
    }
    EXPECT_EQ(update(file, std::string(49, '1') + " " + std::string(299, 'a'), add_mode).ret,
              write_ok);
}

TEST(HostsWrite, LeavesAChangeMadeByAnotherProgramSinceTheLoad) {
    Loaded hosts("1.1.1.1 a\n2.2.2.2 b\n");
    for (std::string changed :
         {"1.1.1.1 a\n2.2.2.2 b\n3.3.3.3 c\n", "1.1.1.1 a\n", "1.1.1.1 x\n2.2.2.2 b\n"}) {
        write_file(hosts.path(), changed);
        Update u = hosts.update("9.9.9.9 a", add_mode);
        EXPECT_EQ(u.ret, write_changed);
        EXPECT_EQ(u.out, at(0) + texts::write_changed);
        EXPECT_EQ(u.err, "");
        EXPECT_EQ(u.file, changed);
        EXPECT_EQ(hosts.folder(), "hosts ");
    }
}

TEST(HostsWrite, DoesNotRecreateAFileRemovedSinceTheLoad) {
    Loaded hosts("1.1.1.1 a\n");
    std::filesystem::remove(hosts.path());
    Update u = hosts.update("2.2.2.2 b", add_mode);
    EXPECT_EQ(u.ret, write_open_failed);
    EXPECT_EQ(u.err, "hosts_write fopen err: No such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(hosts.path()));
}

TEST(HostsWrite, RewritesTheTargetOfALinkAndKeepsTheLinkAndItsMode) {
    TempDir dir;
    std::string target = dir.path("real-hosts");
    write_file(target, "1.1.1.1 a\n2.2.2.2 b\n");
    chmod(target.c_str(), 0640);
    std::filesystem::create_symlink(target, dir.path("hosts"));
    Table table;
    int n = 0;
    ASSERT_EQ(hosts_read(&table, &n, dir.path("hosts").c_str()), read_ok);
    testing::internal::CaptureStdout();
    EXPECT_EQ(hosts_write(table.get(), n, "1.1.1.1 a", delete_mode, dir.path("hosts").c_str()),
              write_ok);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), at(0));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path("hosts")));
    EXPECT_EQ(read_file(target), "2.2.2.2 b\n");
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(list_dir(dir.root().string()), "hosts real-hosts ");
}

TEST(HostsWrite, LeavesTheFileWholeWhenTheRewriteFailsPartWay) {
    const std::string file = with_many_hosts(stock_header, 76 * 1024);
    Loaded hosts(file);
    std::string kept =
        file.substr(0, file.find("0.0.0.0 host-0.")) + file.substr(file.find("0.0.0.0 host-1."));
    struct Case {
        rlim_t limit;
        const char* request;
        Mode mode;
        int ret;
    };
    for (Case c :
         {Case{file.size() / 2, "1.1.1.1 host-0.example", delete_mode, write_kept_failed},
          Case{kept.size() + 5, "1.1.1.1 host-0.example", add_mode, write_request_failed}}) {
        Update u = hosts.update(c.request, c.mode, c.limit);
        EXPECT_EQ(u.ret, c.ret);
        EXPECT_EQ(u.out, at(0));
        EXPECT_EQ(u.err, "fprintf err: File too large\n");
        EXPECT_EQ(u.file, file);
        EXPECT_EQ(hosts.folder(), "hosts ");
    }
}

TEST(HostsWrite, CutsAFailedAppendBackToTheOldFile) {
    std::string file = "1.1.1.1 a\n";
    Loaded hosts(file);
    Update u = hosts.update("2.2.2.2 " + std::string(200, 'b'), add_mode, file.size() + 100);
    EXPECT_EQ(u.ret, write_append_failed);
    EXPECT_EQ(u.err, "fprintf err: File too large\n");
    EXPECT_EQ(u.file, file);
}

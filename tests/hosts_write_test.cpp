#include <sys/stat.h>

#include "test_files.h"

namespace {

struct Update {
    int ret = 0;
    std::string file;
    std::string out;
    std::string err;
};

// A hosts file in a fresh folder, loaded into a table that updates then run against, as a
// command loads the file before it changes it.
class Loaded {
public:
    explicit Loaded(const std::string& bytes) : path_(dir_.path("hosts")) {
        write_file(path_, bytes);
        testing::internal::CaptureStdout();
        EXPECT_EQ(hosts_read(&table_, &n_, path_.c_str()), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    const std::string& path() const { return path_; }
    std::string folder() const { return list_dir(dir_.root().string()); }

    // Runs the update of `request` and returns what it printed and left in the file.
    Update update(const std::string& request, int mode) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int ret = hosts_write(table_.get(), n_, request.c_str(), mode, path_.c_str());
        std::string out = testing::internal::GetCapturedStdout();
        return {ret, read_file(path_), out, testing::internal::GetCapturedStderr()};
    }

private:
    TempDir dir_;
    std::string path_;
    Table table_;
    int n_ = 0;
};

// Loads `bytes` as the hosts file and updates it by `request`, which must report no system
// error and leave nothing beside the file.
Update update(const std::string& bytes, const std::string& request, int mode) {
    Loaded hosts(bytes);
    Update result = hosts.update(request, mode);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(hosts.folder(), "hosts ");
    return result;
}

const char* const stock_header =
    "# Copyright (c) 1993-2009 Microsoft Corp.\n"
    "#\n"
    "# This is a sample HOSTS file used by Microsoft TCP/IP for Windows.\n"
    "#\n"
    "# localhost name resolution is handled within DNS itself.\n"
    "#\t127.0.0.1       localhost\n"
    "#\t::1             localhost\n"
    "\n";

}  // namespace

TEST(HostsWrite, AppendsANewHostAndNothingElse) {
    Update u = update("127.0.0.1 localhost\n", "1.2.3.4 a.com", 0);
    EXPECT_EQ(u.ret, 0);
    EXPECT_EQ(u.file, "127.0.0.1 localhost\n1.2.3.4 a.com\n");
    EXPECT_EQ(u.out, "");
}

TEST(HostsWrite, StartsALineOfItsOwnWhenTheTableIsEmpty) {
    Update add = update("# only a comment", "1.2.3.4 a.com", 0);
    EXPECT_EQ(add.ret, 0);
    EXPECT_EQ(add.file, "# only a comment\n1.2.3.4 a.com\n");
    Update del = update("# c\n", "1.2.3.4 a.com", 1);
    EXPECT_EQ(del.ret, -7);
    EXPECT_EQ(del.out, gbk("hosts_write:1.2.3.4 a.com不存在！\n"));
    EXPECT_EQ(del.file, "# c\n\n");
}

TEST(HostsWrite, NeverJoinsTheRequestToAnUnfinishedLastLine) {
    EXPECT_EQ(update("127.0.0.1 a", "1.2.3.4 b", 0).file, "127.0.0.1 a\n1.2.3.4 b\n");
    EXPECT_EQ(update("127.0.0.1 a\n# end", "1.2.3.4 b", 0).file, "127.0.0.1 a\n# end\n1.2.3.4 b\n");
    EXPECT_EQ(update("127.0.0.1 a\n# end", "1.2.3.4 a", 0).file, "# end\n1.2.3.4 a\n");
    EXPECT_EQ(update("127.0.0.1 a\r", "1.2.3.4 b", 0).file, "127.0.0.1 a\r\n1.2.3.4 b\n");
}

TEST(HostsWrite, ReplacesTheSameHostAtTheEndInTheRequestsWording) {
    Update u = update("1.1.1.1 a\n2.2.2.2 b   \n3.3.3.3 c\n", "9.9.9.9 b", 0);
    EXPECT_EQ(u.ret, 0);
    EXPECT_EQ(u.out, "hosts_write:loc = 1\n");
    EXPECT_EQ(u.file, "1.1.1.1 a\n3.3.3.3 c\n9.9.9.9 b\n");
}

TEST(HostsWrite, DeletesByHostPartWhateverTheAddress) {
    Update u = update("1.1.1.1 a\n2.2.2.2 b\n3.3.3.3 c\n", "0.0.0.0 b", 1);
    EXPECT_EQ(u.ret, 0);
    EXPECT_EQ(u.out, "hosts_write:loc = 1\n");
    EXPECT_EQ(u.file, "1.1.1.1 a\n3.3.3.3 c\n");
}

TEST(HostsWrite, ReplacesOrDeletesOnlyTheFirstOfTwoEqualHosts) {
    std::string file = "1.1.1.1 a\n2.2.2.2 a\n";
    EXPECT_EQ(update(file, "3.3.3.3 a", 0).file, "2.2.2.2 a\n3.3.3.3 a\n");
    EXPECT_EQ(update(file, "3.3.3.3 a", 1).file, "2.2.2.2 a\n");
}

TEST(HostsWrite, MatchesTheHostTextExactly) {
    std::string file = "1.1.1.1 a.com\n2.2.2.2  b.com\n";
    Update other_case = update(file, "1.1.1.1 A.com", 1);
    EXPECT_EQ(other_case.ret, -7);
    EXPECT_EQ(other_case.file, file);
    EXPECT_EQ(update(file, "1.1.1.1 a.com # note", 1).ret, -7);
    EXPECT_EQ(update(file, "1.1.1.1 b.com", 1).ret, -7);
    EXPECT_EQ(update(file, "1.1.1.1  b.com", 1).file, "1.1.1.1 a.com\n");
}

TEST(HostsWrite, AppendsARequestWithTrailingBlanksAsTyped) {
    Update u = update("1.1.1.1 a.com\n", "2.2.2.2 a.com  ", 0);
    EXPECT_EQ(u.ret, 0);
    EXPECT_EQ(u.out, "");
    EXPECT_EQ(u.file, "1.1.1.1 a.com\n2.2.2.2 a.com  \n");
}

TEST(HostsWrite, KeepsEveryLineThatIsNotAnEntryWhereItStood) {
    std::string file = std::string(stock_header) + "1.1.1.1 a\n# between\n\n  2.2.2.2 indented\n" +
                       "3.3.3.3 b\t \n#\xB1\xB8\xD7\xA2 \r\n4.4.4.4 c\n# tail";
    Update replaced = update(file, "5.5.5.5 b", 0);
    EXPECT_EQ(replaced.file, std::string(stock_header) +
                                 "1.1.1.1 a\n# between\n\n  2.2.2.2 indented\n" +
                                 "#\xB1\xB8\xD7\xA2 \r\n4.4.4.4 c\n# tail\n5.5.5.5 b\n");
    Update deleted = update(file, "1.1.1.1 a", 1);
    EXPECT_EQ(deleted.file, std::string(stock_header) + "# between\n\n  2.2.2.2 indented\n" +
                                "3.3.3.3 b\n#\xB1\xB8\xD7\xA2 \r\n4.4.4.4 c\n# tail");
}

TEST(HostsWrite, KeepsCommentsThatHoldNulBytes) {
    std::string comment("# a\0b\n", 6);
    EXPECT_EQ(update(comment + "1.1.1.1 a\n2.2.2.2 b\n", "1.1.1.1 a", 1).file,
              comment + "2.2.2.2 b\n");
}

TEST(HostsWrite, KeepsTheByteOrderMarkAtTheStart) {
    EXPECT_EQ(update("\xEF\xBB\xBF"
                     "1.1.1.1 a\n2.2.2.2 b\n",
                     "1.1.1.1 a", 1)
                  .file,
              "\xEF\xBB\xBF"
              "2.2.2.2 b\n");
    EXPECT_EQ(update("\xEF\xBB\xBF"
                     "1.1.1.1 a\n",
                     "1.1.1.1 a", 0)
                  .file,
              "\xEF\xBB\xBF"
              "1.1.1.1 a\n");
}

TEST(HostsWrite, RefusesRequestsThatCannotFormAnEntry) {
    std::string file = "1.1.1.1 a\n";
    for (int mode : {0, 1}) {
        for (std::string request :
             {std::string(""), std::string("1.1.1.1"), std::string("1.1.1.1\ta"),
              std::string("1.1.1.1 "), std::string("1.1.1.1 \t \r"), std::string(50, '1') + " a",
              "1.1.1.1 " + std::string(300, 'a'), std::string(" a.example"),
              std::string("#x b.example"), std::string("\t1.1.1.1 a"),
              std::string("\r1.1.1.1 a")}) {
            Update u = update(file, request, mode);
            EXPECT_EQ(u.ret, -4) << request;
            EXPECT_EQ(u.out, "hosts_write:" + request + gbk("格式错误！\n"));
            EXPECT_EQ(u.file, file);
        }
    }
    EXPECT_EQ(update(file, std::string(49, '1') + " " + std::string(299, 'a'), 0).ret, 0);
}

TEST(HostsWrite, LeavesAChangeMadeByAnotherProgramSinceTheLoad) {
    Loaded hosts("1.1.1.1 a\n2.2.2.2 b\n");
    for (std::string changed :
         {"1.1.1.1 a\n2.2.2.2 b\n3.3.3.3 c\n", "1.1.1.1 a\n", "1.1.1.1 x\n2.2.2.2 b\n"}) {
        write_file(hosts.path(), changed);
        Update u = hosts.update("9.9.9.9 a", 0);
        EXPECT_EQ(u.ret, -9);
        EXPECT_EQ(u.out, gbk("hosts_write:loc = 0\nhosts_write:hosts文件已被其他程序修改！\n"));
        EXPECT_EQ(u.err, "");
        EXPECT_EQ(u.file, changed);
        EXPECT_EQ(hosts.folder(), "hosts ");
    }
}

TEST(HostsWrite, DoesNotRecreateAFileRemovedSinceTheLoad) {
    TempDir dir;
    std::string path = dir.path("hosts");
    Config entry{"1.1.1.1", "a"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(hosts_write(&entry, 1, "2.2.2.2 b", 0, path.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "hosts_write fopen err: No such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(HostsWrite, RewritesTheTargetOfALinkAndKeepsTheLinkAndItsMode) {
    TempDir dir;
    std::string target = dir.path("real-hosts");
    write_file(target, "1.1.1.1 a\n2.2.2.2 b\n");
    chmod(target.c_str(), 0640);
    std::filesystem::create_symlink(target, dir.path("hosts"));
    Table table;
    int n = 0;
    ASSERT_EQ(hosts_read(&table, &n, dir.path("hosts").c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(hosts_write(table.get(), n, "1.1.1.1 a", 1, dir.path("hosts").c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "hosts_write:loc = 0\n");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path("hosts")));
    EXPECT_EQ(read_file(target), "2.2.2.2 b\n");
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(list_dir(dir.root().string()), "hosts real-hosts ");
}

TEST(HostsWrite, LeavesTheFileWholeWhenTheRewriteFailsPartWay) {
    std::string file = stock_header;
    for (int i = 0; i < 3000; ++i) file += "0.0.0.0 host-" + std::to_string(i) + ".example\n";
    Loaded hosts(file);
    std::string kept =
        file.substr(0, file.find("0.0.0.0 host-0.")) + file.substr(file.find("0.0.0.0 host-1."));
    struct Case {
        rlim_t limit;
        const char* request;
        int mode;
        int ret;
    };
    for (Case c : {Case{file.size() / 2, "1.1.1.1 host-0.example", 1, -5},
                   Case{kept.size() + 5, "1.1.1.1 host-0.example", 0, -6}}) {
        Update u;
        {
            FileSizeLimit limit(c.limit);
            u = hosts.update(c.request, c.mode);
        }
        EXPECT_EQ(u.ret, c.ret);
        EXPECT_EQ(u.out, "hosts_write:loc = 0\n");
        EXPECT_EQ(u.err, "fprintf err: File too large\n");
        EXPECT_EQ(u.file, file);
        EXPECT_EQ(hosts.folder(), "hosts ");
    }
}

TEST(HostsWrite, CutsAFailedAppendBackToTheOldFile) {
    std::string file = "1.1.1.1 a\n";
    Loaded hosts(file);
    Update u;
    {
        FileSizeLimit limit(file.size() + 100);
        u = hosts.update("2.2.2.2 " + std::string(200, 'b'), 0);
    }
    EXPECT_EQ(u.ret, -2);
    EXPECT_EQ(u.err, "fprintf err: File too large\n");
    EXPECT_EQ(u.file, file);
}

TEST(HostsWrite, KeepsAnEntryThatBeginsWithMarkBytesWhenItMovesToTheTop) {
    std::string marked =
        "\xEF\xBB\xBF"
        "2.2.2.2 b\n";
    Update u = update("1.1.1.1 a\n" + marked, "1.1.1.1 a", 1);
    EXPECT_EQ(u.file, "\xEF\xBB\xBF" + marked);
    Update reloaded = update(u.file, "3.3.3.3 c", 0);
    EXPECT_EQ(reloaded.file, "\xEF\xBB\xBF" + marked + "3.3.3.3 c\n");
}

namespace {

// `text` with each "$" turned into `end`.
std::string with_line_end(std::string text, const std::string& end) {
    for (std::size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at)) {
        text.replace(at, 1, end);
        at += end.size();
    }
    return text;
}

}  // namespace

TEST(HostsWrite, KeepsLinesByteForByteAndEndsItsOwnLinesWithThePlatformsLineEnd) {
    struct Case {
        std::string file;
        const char* request;
        int mode;
        int ret;
        std::string want;  // "$" stands for the line end of the lines the program writes
    };
    std::string comment = "#" + std::string(4093, 'c');  // its CR ends a 4095-byte piece
    std::vector<Case> cases = {
        {"# crlf\r\n# lf only\n127.0.0.1 a\r\n10.0.0.1 b\r\n", "0 a", 1, 0,
         "# crlf\r\n# lf only\n10.0.0.1 b$"},
        {comment + "\r\n127.0.0.1 a\r\n10.0.0.1 b\r\n", "0 a", 1, 0, comment + "\r\n10.0.0.1 b$"},
        {"1.1.1.1 a \r\n2.2.2.2 b\n# end\n", "9.9.9.9 b", 0, 0, "1.1.1.1 a$# end\n9.9.9.9 b$"},
        {"# no end\r", "1.1.1.1 a", 0, 0, "# no end\r$1.1.1.1 a$"},
        {"1.1.1.1 a\n", "2.2.2.2 b", 0, 0, "1.1.1.1 a\n2.2.2.2 b$"},
        {"1.1.1.1 a", "2.2.2.2 b", 0, 0, "1.1.1.1 a$2.2.2.2 b$"},
        {"# c\n", "2.2.2.2 b", 1, -7, "# c\n$"},
        {"127.0.0.1 a\r\n10.0.0.1 b\r\n\x1a", "0 a", 1, 0, "10.0.0.1 b$\x1a"},
        {"127.0.0.1 a\r\n10.0.0.1 b\r\n\x1a", "9.9.9.9 a", 0, 0, "10.0.0.1 b$9.9.9.9 a$\x1a"},
        {"127.0.0.1 a\r\n\x1a", "1.2.3.4 c", 0, 0, "127.0.0.1 a\r\n1.2.3.4 c$\x1a"},
        {"127.0.0.1 a\x1a", "1.2.3.4 c", 0, 0, "127.0.0.1 a$1.2.3.4 c$\x1a"},
        {"127.0.0.1 a\x1a", "1.2.3.4 c", 1, -7, "127.0.0.1 a\x1a"},
        {"# c\r\n\x1a", "1.2.3.4 c", 0, 0, "# c\r\n$1.2.3.4 c$\x1a"},
        {"# c\x1a\x1a", "1.2.3.4 c", 1, -7, "# c\x1a$\x1a"},
        {"\xEF\xBB\xBF\x1a", "1.2.3.4 c", 0, 0, "\xEF\xBB\xBF$1.2.3.4 c$\x1a"},
        {"# a\x1a\r\n1.1.1.1 a\n2.2.2.2 b\n", "0 a", 1, 0, "# a\x1a\r\n2.2.2.2 b$"},
    };
    for (const char* end : {"\n", "\r\n"}) {
        OwnLineEnd own(end);
        for (const Case& c : cases) {
            Update u = update(c.file, c.request, c.mode);
            EXPECT_EQ(u.ret, c.ret) << c.file;
            EXPECT_EQ(u.file, with_line_end(c.want, end)) << c.file;
            EXPECT_EQ(u.err, "");
        }
    }
}

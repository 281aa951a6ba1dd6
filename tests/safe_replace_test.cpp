#include <unistd.h>

#include "test_files.h"

namespace {

void write_new(Replacement& next, const std::string& bytes) {
    ASSERT_NE(next.stream(), nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), next.stream()), bytes.size());
}

}  // namespace

TEST(Replacement, PutsTheWholeNewContentInPlaceOnCommit) {
    TempDir dir;
    write_file(dir.path("f"), "old\n");
    std::string bytes("new\r\n\0\xff", 7);
    {
        Replacement next(dir.path("f").c_str(), true);
        write_new(next, bytes);
        EXPECT_EQ(read_file(dir.path("f")), "old\n");
        EXPECT_EQ(next.commit(), 0);
    }
    EXPECT_EQ(read_file(dir.path("f")), bytes);
    EXPECT_EQ(list_dir(dir.root().string()), "f ");
}

TEST(Replacement, LeavesTheOldFileAndNoTraceWhenNotCommitted) {
    TempDir dir;
    write_file(dir.path("f"), "old\n");
    {
        Replacement next(dir.path("f").c_str(), true);
        write_new(next, "half of the new");
    }
    EXPECT_EQ(read_file(dir.path("f")), "old\n");
    EXPECT_EQ(list_dir(dir.root().string()), "f ");
}

TEST(Replacement, CreatesAFileThatDidNotExist) {
    TempDir dir;
    Replacement next(dir.path("f").c_str(), true);
    write_new(next, "first\n");
    EXPECT_EQ(next.commit(), 0);
    EXPECT_EQ(read_file(dir.path("f")), "first\n");
}

TEST(Replacement, NeverWritesIntoAFilePlantedAtItsTemporaryName) {
    TempDir dir;
    write_file(dir.path("f"), "old\n");
    std::string planted = dir.path("f.new-" + std::to_string(getpid()) + "-0");
    write_file(planted, "planted\n");
    {
        Replacement next(dir.path("f").c_str(), true);
        write_new(next, "new\n");
        EXPECT_EQ(next.commit(), 0);
    }
    EXPECT_EQ(read_file(dir.path("f")), "new\n");
    EXPECT_EQ(read_file(planted), "planted\n");
}

TEST(Replacement, FailsWhereNoFileCanBeMadeBesideTheTarget) {
    TempDir dir;
    Replacement next(dir.path("missing/f").c_str(), true);
    EXPECT_EQ(next.stream(), nullptr);
}

TEST(Replacement, CopiesInPlaceWhenTheFileIsAMountPoint) {
    in_private_mounts([] {
        TempDir dir;
        write_file(dir.path("source"), "old\n");
        write_file(dir.path("f"), "");
        Mount bound(dir.path("source").c_str(), dir.path("f"), nullptr, MS_BIND);
        if (!bound.mounted()) GTEST_SKIP() << "bind mounts are refused here: " << bound.error();
        Replacement next(dir.path("f").c_str(), true);
        write_new(next, "new\n");
        EXPECT_EQ(next.commit(), 0);
        EXPECT_EQ(read_file(dir.path("source")), "new\n");
        EXPECT_EQ(list_dir(dir.root().string()), "f source ");
    });
}

TEST(Replacement, KeepsAndNamesTheNewFileWhenNothingCanReplaceTheOld) {
    in_private_mounts([] {
        TempDir dir;
        write_file(dir.path("source"), "old\n");
        write_file(dir.path("f"), "");
        Mount bound(dir.path("source").c_str(), dir.path("f"), nullptr, MS_BIND);
        bound.remount_read_only();
        if (!bound.mounted())
            GTEST_SKIP() << "read-only bind mounts are refused here: " << bound.error();
        std::string temp = dir.path("f.new-" + std::to_string(getpid()) + "-0");
        testing::internal::CaptureStderr();
        {
            Replacement next(dir.path("f").c_str(), true);
            write_new(next, "new\n");
            EXPECT_EQ(next.commit(), -1);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "copy err: Read-only file system\nrename err: Device or resource busy\n"
                  "new file kept: " +
                      temp + "\n");
        EXPECT_EQ(read_file(dir.path("source")), "old\n");
        EXPECT_EQ(read_file(temp), "new\n");
    });
}

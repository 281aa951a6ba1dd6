#include <sys/mount.h>
#include <unistd.h>

#include "test_files.h"

namespace {

void write_new(Replacement& next, const std::string& bytes) {
    ASSERT_NE(next.stream(), nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), next.stream()), bytes.size());
}

// Binds `source` over `target` for as long as it lives, as containers mount their hosts file.
class BindMount {
public:
    BindMount(const std::string& source, const std::string& target, bool read_only)
        : target_(target) {
        mounted_ = mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (mounted_ && read_only) {
            mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
        }
    }
    ~BindMount() {
        if (mounted_) umount(target_.c_str());
    }
    bool mounted() const { return mounted_; }

private:
    std::string target_;
    bool mounted_;
};

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
    TempDir dir;
    write_file(dir.path("source"), "old\n");
    write_file(dir.path("f"), "");
    BindMount bound(dir.path("source"), dir.path("f"), false);
    if (!bound.mounted()) GTEST_SKIP() << "bind mounts are not permitted here";
    Replacement next(dir.path("f").c_str(), true);
    write_new(next, "new\n");
    EXPECT_EQ(next.commit(), 0);
    EXPECT_EQ(read_file(dir.path("source")), "new\n");
    EXPECT_EQ(list_dir(dir.root().string()), "f source ");
}

TEST(Replacement, KeepsAndNamesTheNewFileWhenNothingCanReplaceTheOld) {
    TempDir dir;
    write_file(dir.path("source"), "old\n");
    write_file(dir.path("f"), "");
    BindMount bound(dir.path("source"), dir.path("f"), true);
    if (!bound.mounted()) GTEST_SKIP() << "bind mounts are not permitted here";
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
}

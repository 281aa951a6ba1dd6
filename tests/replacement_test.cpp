#include "replacement.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <utility>
#include <vector>

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
        Replacement next(dir.path("f").c_str());
        write_new(next, bytes);
        EXPECT_EQ(read_file(dir.path("f")), "old\n");
        EXPECT_EQ(next.commit(), Replaced::done);
    }
    EXPECT_EQ(read_file(dir.path("f")), bytes);
    EXPECT_EQ(list_dir(dir.root().string()), "f ");
}

TEST(Replacement, LeavesTheOldFileAndNoTraceWhenNotCommitted) {
    TempDir dir;
    write_file(dir.path("f"), "old\n");
    {
        Replacement next(dir.path("f").c_str());
        write_new(next, "half of the new");
    }
    EXPECT_EQ(read_file(dir.path("f")), "old\n");
    EXPECT_EQ(list_dir(dir.root().string()), "f ");
}

TEST(Replacement, CreatesAFileThatDidNotExist) {
    TempDir dir;
    Replacement next(dir.path("f").c_str());
    write_new(next, "first\n");
    EXPECT_EQ(next.commit(), Replaced::done);
    EXPECT_EQ(read_file(dir.path("f")), "first\n");
}

TEST(Replacement, NeverWritesIntoNorGivesUpOnFilesPlantedAtTheNamesItCouldTake) {
    TempDir dir;
    write_file(dir.path("f"), "old\n");
    // Another user who knows the process id would make every name a counter could give.
    std::string planted = dir.path("f.new-" + std::to_string(getpid()) + "-0");
    for (int k = 0; k < 100; ++k)
        write_file(dir.path("f.new-" + std::to_string(getpid()) + "-" + std::to_string(k)),
                   "planted\n");
    {
        Replacement next(dir.path("f").c_str());
        write_new(next, "new\n");
        EXPECT_EQ(next.commit(), Replaced::done);
    }
    EXPECT_EQ(read_file(dir.path("f")), "new\n");
    EXPECT_EQ(read_file(planted), "planted\n");
}

TEST(Replacement, FailsWhereNoFileCanBeMadeBesideTheTarget) {
    TempDir dir;
    Replacement next(dir.path("missing/f").c_str());
    EXPECT_EQ(next.stream(), nullptr);
}

TEST(Replacement, CopiesABindMountedFileInPlaceOrLeavesItWholeWhereItIsReadOnly) {
    struct Case {
        bool read_only;
        Replaced ret;
        const char* after;
        const char* err;
    };
    for (Case c :
         {Case{false, Replaced::done, "new\n", ""},
          Case{true, Replaced::failed, "old\n",
               "rename err: Device or resource busy\ncopy err: Read-only file system\n"}}) {
        // No SCOPED_TRACE: a skip in the mount namespace would carry it into its reason.
        const char* what = c.read_only ? "read-only" : "writable";
        in_private_mounts([&c, what] {
            TempDir dir;
            write_file(dir.path("source"), "old\n");
            write_file(dir.path("f"), "");
            Mount bound(dir.path("source").c_str(), dir.path("f"), nullptr, MS_BIND);
            if (c.read_only) bound.remount_read_only();
            if (!bound.mounted()) GTEST_SKIP() << "bind mounts are refused here: " << bound.error();
            testing::internal::CaptureStderr();
            {
                Replacement next(dir.path("f").c_str());
                write_new(next, "new\n");
                EXPECT_EQ(next.commit(), c.ret) << what;
            }
            EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << what;
            EXPECT_EQ(read_file(dir.path("source")), c.after) << what;
            EXPECT_EQ(list_dir(dir.root().string()), "f source ") << what;
        });
    }
}

namespace {

// A process id that no process has: a child that has already exited and been waited for.
unsigned long dead_pid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return static_cast<unsigned long>(child);
}

// Files by name, "{D}" in a name standing for a dead process's id, with their contents.
using Files = std::vector<std::pair<std::string, std::string>>;

struct LeftoverCase {
    const char* what;
    std::string target;     // content of "f"
    std::string remaining;  // list_dir after the next replacement
    Files files;
    std::string named{};  // stderr, "{R}" standing for the folder
};

std::string expand(std::string s, const std::string& dead, const std::string& root) {
    for (std::size_t at; (at = s.find("{D}")) != std::string::npos;) s.replace(at, 3, dead);
    for (std::size_t at; (at = s.find("{R}")) != std::string::npos;) s.replace(at, 3, root);
    return s;
}

}  // namespace

TEST(Replacement, RemovesWhatKilledRunsLeftButNeverAnotherRunsWorkOrTheOnlyWholeCopy) {
    const std::string own = std::to_string(getpid());
    const Files in_place_copy = {{"f.new-{D}-0", "new"}, {"f.old-{D}-0-3", "old"}};
    const LeftoverCase cases[] = {
        {"a new version of a dead run", "x", "f ", Files{{"f.new-{D}-0", "new"}}},
        {"a running process's file", "x", "f f.new-" + own + "-7 ",
         Files{{"f.new-" + own + "-7", "new"}}},
        {"names that are not leftovers", "x", "f f.new-{D}-0x g.new-{D}-0 ",
         Files{{"f.new-{D}-0x", "a"}, {"g.new-{D}-0", "b"}}},
        {"an in-place copy killed half way", "nld", "f f.new-{D}-0 f.old-{D}-0-3 ", in_place_copy,
         "interrupted copy: old file kept: {R}/f.old-{D}-0-3\n"
         "interrupted copy: new file kept: {R}/f.new-{D}-0\n"},
        {"an in-place copy that finished", "new", "f ", in_place_copy},
        {"an in-place copy that never began", "old", "f ", in_place_copy},
        {"an old copy alone, which no run of this program leaves, is no leftover", "new",
         "f f.old-{D}-0-3 ", Files{{"f.old-{D}-0-3", "old"}}},
        {"an old copy killed while it was saved", "old", "f ",
         Files{{"f.new-{D}-0", "new"}, {"f.old-{D}-0-3", "ol"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string dead = std::to_string(dead_pid()), root = dir.root().string();
        write_file(dir.path("f"), c.target);
        for (const auto& file : c.files)
            write_file(dir.path(expand(file.first, dead, root)), file.second);
        testing::internal::CaptureStderr();
        { Replacement next(dir.path("f").c_str()); }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), expand(c.named, dead, root));
        EXPECT_EQ(list_dir(root), expand(c.remaining, dead, root));
        EXPECT_EQ(read_file(dir.path("f")), c.target);
    }
}

TEST(Replacement, LeavesAFileThatARunningProcessHoldsLocked) {
    TempDir dir;
    std::string dead = std::to_string(dead_pid());
    write_file(dir.path("f"), "x");
    std::string held = dir.path("f.new-" + dead + "-0");
    write_file(held, "new");
    int fd = open(held.c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    // Another process: a lock is not shared with the process that holds it.
    pid_t child = fork();
    if (child == 0) {
        { Replacement next(dir.path("f").c_str()); }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(fd);
    EXPECT_EQ(list_dir(dir.root().string()), "f f.new-" + dead + "-0 ");
}

TEST(Replacement, LeavesATargetThatAnotherProgramChangedSinceItWasRead) {
    struct Change {
        const char* what;
        std::function<void(const std::string&)> make;
        std::string after;  // the target's content after the commit
        Replaced commit;
    };
    const Change changes[] = {
        {"none", [](const std::string&) {}, "new\n", Replaced::done},
        {"an append", [](const std::string& f) { write_file(f, "old\nmore\n"); }, "old\nmore\n",
         Replaced::changed},
        {"a file renamed over it",
         [](const std::string& f) {
             write_file(f + ".tool", "tool\n");
             std::filesystem::rename(f + ".tool", f);
         },
         "tool\n", Replaced::changed},
        {"its removal", [](const std::string& f) { std::filesystem::remove(f); }, "",
         Replaced::changed},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string f = dir.path("f");
        write_file(f, "old\n");
        FileStamp read;
        ASSERT_TRUE(stamp_at(f.c_str(), &read));
        {
            Replacement next(f.c_str());
            write_new(next, "new\n");
            c.make(f);
            EXPECT_EQ(next.commit(&read), c.commit);
        }
        EXPECT_EQ(read_file(f), c.after);
        EXPECT_EQ(list_dir(dir.root().string()), c.after.empty() ? "" : "f ");
    }
}

// Filling a table from a file's entry lines.
#include "lines.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "test_files.h"
#include "texts.h"

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
        long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) _exit(100);
            std::fclose(statm);
        }
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

// The stream plumbing tells each way a copy, a flush or a close can fail.
#include "streams.h"

#include <cerrno>
#include <string>

#include "test_files.h"

TEST(Streams, TellAFailedReadFromAFailedWriteAndFailTheFlushAndCloseOfAFullDisk) {
    TempDir dir;
    write_file(dir.path("big"), std::string(1 << 17, 'x'));
    struct Row {
        const char* from;
        CopyResult copied;
    } rows[] = {
        {"big", copy_write_failed},  // the disk fills up under the first piece
        {".", copy_read_failed},     // a folder opens but cannot be read
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.from);
        File from = open_file(dir.path(row.from).c_str(), "rb");
        File to = open_file("/dev/full", "wb");
        ASSERT_TRUE(from && to);
        EXPECT_EQ(copy_stream(from.get(), to.get()), row.copied);
    }
    File small = open_file("/dev/full", "wb");
    ASSERT_TRUE(small && std::fputs("x", small.get()) >= 0);
    EXPECT_FALSE(flush_file(small.get(), false));
    std::fputs("y", small.get());
    errno = 0;
    EXPECT_FALSE(close_file(small));
    EXPECT_EQ(errno, ENOSPC);
}

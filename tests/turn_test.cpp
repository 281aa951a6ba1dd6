// Taking turns at a file with the program's other instances.
#include "turn.h"

#include <string>
#include <utility>

#include "test_files.h"
#include "texts.h"

TEST(Turn, WaitsForAnotherTurnAtTheSameFileSayingSoOnceAndGivesUpAtItsBound) {
    TempDir dir;
    write_file(dir.path("f"), "x");
    auto turn_after_wait = [&](int seconds) {
        testing::internal::CaptureStdout();
        bool taken = Turn(dir.path("f").c_str(), seconds).taken();
        return std::make_pair(taken, testing::internal::GetCapturedStdout());
    };
    {
        // The lock file, as another instance holds it: a second open of it conflicts even
        // within one process.
        Turn other(dir.path("f").c_str(), 1);
        ASSERT_TRUE(other.taken());
        EXPECT_EQ(turn_after_wait(2),
                  std::make_pair(false, std::string(texts::lock_waiting) + texts::lock_gave_up));
    }
    EXPECT_EQ(turn_after_wait(2), std::make_pair(true, std::string()));
}

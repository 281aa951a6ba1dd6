// This instance's turn at a file: the program's other instances wait until it ends.
#pragma once

#include <string>

#include "lock.h"

/// What the program prints after "hosts_lock err: " when another instance held the file too long.
inline constexpr int turn_timed_out = -1;

/// This instance's turn at a file, which the program's other instances wait for until it ends.
class Turn {
public:
    /// Waits for the turn at `path` for at most `limit` seconds; taken() says whether it came.
    Turn(const char* path, int limit);
    /// Ends the turn: the next instance may go on.
    ~Turn();
    /// Not copied: one object holds the turn.
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

    /// Whether it is this instance's turn: false after the report that it gave up.
    bool taken() const { return taken_; }

private:
    /// Waits for the lock for at most `limit` seconds: true when none is to be had there (`*why`
    /// saying why, if a file is to blame); false once taken, or given up after a report.
    bool wait(int limit, const char** why);

    std::string path_;             ///< the lock file
    InstanceLock lock_ = no_lock;  ///< the lock held, if any
    bool taken_ = true;            ///< whether the turn came
};

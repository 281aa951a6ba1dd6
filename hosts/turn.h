// This instance's turn at a file: the program's other instances wait until it ends.
#pragma once

#include <string>

#include "platform.h"

/// This instance's turn at a file, which the program's other instances wait for until it ends.
class Turn {
public:
    /// Waits for the turn at `path` while another instance holds it, saying so once after a
    /// second, for at most `limit` seconds; where no lock can be had, goes on without one, saying
    /// so when the lock file there is not one to trust.
    Turn(const char* path, int limit);
    /// Ends the turn: the next instance may go on.
    ~Turn();
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

    /// Whether it is this instance's turn: false after the report that it gave up.
    bool taken() const { return taken_; }

private:
    std::string path_;
    InstanceLock lock_ = no_lock;
    bool taken_ = true;
};

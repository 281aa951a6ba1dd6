// Taking turns at a file with the program's other instances, through a lock file beside it.
#include "turn.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "files.h"
#include "streams.h"
#include "texts.h"

namespace fs = std::filesystem;

namespace {

// The lock file stands beside the name the program keeps, in that name's real folder, not beside
// a link's target: only those who may change the hosts file can make names there. Empty, with
// `*why` saying why, when the folder is a link that the system cannot follow.
std::string lock_path(const char* path, const char** why) {
    std::string folder = final_path(folder_of(path).c_str(), why);
    if (folder.empty()) return folder;
    return (fs::path(folder) / fs::path(path).filename()).string() + ".lock";
}

// Whether a wait that has gone on for `waited` goes on: false, after its report, once it reached
// `limit` seconds. It says once, after a second, that another instance holds the file.
bool still_waiting(std::chrono::steady_clock::duration waited, int limit, bool* said) {
    using namespace std::chrono;
    if (waited >= seconds(limit)) {
        std::fputs(texts::lock_gave_up, stdout);
        return false;
    }
    if (!*said && waited >= 1s) {
        std::fputs(texts::lock_waiting, stdout);
        std::fflush(stdout);
        *said = true;
    }
    return true;
}

// The turn goes on without a lock: `name`, the lock file or its folder, is `why`.
void no_turn(const std::string& name, const char* why) {
    report_text("hosts_lock: %s is %s: no turn taken\n", name.c_str(), why);
}

}  // namespace

// A wait says so once, after a second. Where no lock can be had, the turn goes on without one,
// saying so when the lock file there is not one to trust.
Turn::Turn(const char* path, int limit) {
    const char* why = nullptr;
    path_ = lock_path(path, &why);
    if (why) {
        no_turn(folder_of(path), why);
        return;
    }
    if (!wait(limit, &why)) return;
    // Another user's file would let that user stall or skip every turn: it is not used.
    if (why) no_turn(path_, why);
}

// Polled rather than blocked on, so that the wait can be bounded the same way everywhere.
bool Turn::wait(int limit, const char** why) {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    bool said = false;
    for (milliseconds pause(1);; pause = std::min(2 * pause, 20ms)) {
        LockResult got = lock_take(path_.c_str(), &lock_, why);
        if (got != lock_busy) return got == lock_unavailable;
        taken_ = still_waiting(steady_clock::now() - start, limit, &said);
        if (!taken_) return false;
        std::this_thread::sleep_for(pause);
    }
}

Turn::~Turn() {
    if (!lock_release(path_.c_str(), lock_))
        report_text("remove err: %s: %s\n", path_.c_str(), error_text(errno));
}

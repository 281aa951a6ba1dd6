// Temporary folders and whole-file reads and writes for the tests.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "files.h"
#include "hosts.h"

// The base of the helpers that hold something while they live, which a copy would give back twice.
struct Uncopyable {
    Uncopyable() = default;
    Uncopyable(const Uncopyable&) = delete;
    Uncopyable& operator=(const Uncopyable&) = delete;
};

// A fresh folder under the system's temporary folder, removed with all it holds when the test
// ends, whether its assertions passed or not.
class TempDir : Uncopyable {
public:
    TempDir() {
        std::random_device seed;
        auto base = std::filesystem::temp_directory_path();
        do {
            root_ = base / ("hosts-test-" + std::to_string(seed()));
        } while (!std::filesystem::create_directory(root_));
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // The path of `name` inside the folder; never the machine's own hosts file.
    std::string path(const std::string& name) const {
        std::string full = (root_ / name).string();
        EXPECT_NE(std::filesystem::weakly_canonical(full),
                  std::filesystem::weakly_canonical(REAL_HOSTS_PATH));
        return full;
    }
    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_;
};

// Writes `bytes` as the whole file at `path`, its folders made first; false when that fails.
inline bool write_file(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

// A printf-format text of the program (texts::added, texts::write_missing, ...) with its one "%s"
// filled in by `text`, as the program prints it.
inline std::string filled(const char* format, const std::string& text) {
    std::string filled_in = format;
    filled_in.replace(filled_in.find("%s"), 2, text);
    return filled_in;
}

// `head` followed by entries "0.0.0.0 host-I.example" (I = 0, 1, ...) until the whole holds at
// least `size` bytes: a hosts file larger than the program's buffers.
inline std::string with_many_hosts(std::string head, std::size_t size) {
    for (int i = 0; head.size() < size; ++i)
        head += "0.0.0.0 host-" + std::to_string(i) + ".example\n";
    return head;
}

// The line the program prints when the call `tag` failed with `code`, e.g. "hosts_write err: -7".
inline std::string err_line(const std::string& tag, int code) {
    return tag + " err: " + std::to_string(code) + "\n";
}

// What an update prints when it rewrites the file without the entry at `loc`.
inline std::string at(int loc) { return "hosts_write:loc = " + std::to_string(loc) + "\n"; }

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The entries of the folder `dir`, sorted by name.
inline std::set<std::filesystem::directory_entry> entries_of(const std::string& dir) {
    return {std::filesystem::directory_iterator(dir), {}};
}

// The names of the files in `dir`, sorted, to show that no temporary file is left behind.
inline std::string list_dir(const std::string& dir) {
    std::string joined;
    for (const auto& entry : entries_of(dir)) joined += entry.path().filename().string() + " ";
    return joined;
}

// Makes the program end the lines it writes with `end` for as long as it lives, as its build for
// another platform does, so that Windows' line ends are tried here too.
class OwnLineEnd : Uncopyable {
public:
    explicit OwnLineEnd(const char* end) : saved_(own_line_end) { own_line_end = end; }
    ~OwnLineEnd() { own_line_end = saved_; }

private:
    const char* saved_;
};

// Makes writes to regular files fail once they pass `bytes`, in this process and the programs
// it starts, for as long as it lives. With `signal_kills`, they start with SIGXFSZ at its
// default, which kills a process that writes past the limit unless it ignores the signal itself.
class FileSizeLimit : Uncopyable {
public:
    explicit FileSizeLimit(rlim_t bytes, bool signal_kills = false) {
        std::signal(SIGXFSZ, signal_kills ? SIG_DFL : SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    rlimit saved_;
};

// A file system mounted over `target` for as long as it lives: a small tmpfs that fills up, or a
// file bound over another, as containers mount their hosts file. Needs the right to mount: use it
// inside in_private_mounts.
class Mount : Uncopyable {
public:
    Mount(const char* source, const std::string& target, const char* type, unsigned long flags,
          const char* data = nullptr)
        : target_(target),
          mounted_(mount(source, target.c_str(), type, flags, data) == 0),
          error_(mounted_ ? 0 : errno) {}
    ~Mount() {
        if (mounted_) umount(target_.c_str());
    }

    bool mounted() const { return mounted_; }
    // Why the mount failed, for the test's skip message.
    std::string error() const { return std::strerror(error_); }
    void remount_read_only() {
        if (mounted_ && mount(nullptr, target_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                              nullptr) != 0) {
            error_ = errno;
            umount(target_.c_str());
            mounted_ = false;
        }
    }

private:
    std::string target_;
    bool mounted_;
    int error_;
};

namespace private_mounts {

// An ordinary user may mount inside a user namespace of its own; its own ids are mapped into it,
// so that the files it makes there keep their owner.
inline std::string enter_user_namespace() {
    const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return std::string("user namespaces are refused here: ") + std::strerror(errno);
    if (!write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/uid_map", uid + " " + uid + " 1\n") ||
        !write_file("/proc/self/gid_map", gid + " " + gid + " 1\n"))
        return std::string("cannot map ids into a user namespace: ") + std::strerror(errno);
    return "";
}

// A mount namespace of its own, whose mounts do not propagate to the machine's; "" or why not.
inline std::string enter() {
    if (geteuid() != 0) {
        std::string why = enter_user_namespace();
        if (!why.empty()) return why;
    } else if (unshare(CLONE_NEWNS) != 0) {
        return std::string("a mount namespace is refused here: ") + std::strerror(errno);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("cannot make the mounts private: ") + std::strerror(errno);
    return "";
}

// The messages of the skips the running test has recorded so far.
inline std::string skips() {
    const testing::TestResult* result =
        testing::UnitTest::GetInstance()->current_test_info()->result();
    std::string why;
    for (int i = 0; i < result->total_part_count(); ++i)
        if (result->GetTestPartResult(i).skipped()) why += result->GetTestPartResult(i).message();
    return why;
}

// Runs in the child: the scenario, then its skip reason to `report` and its verdict as status.
[[noreturn]] inline void run(int report, const std::function<void()>& scenario) {
    std::string why = enter();
    if (why.empty()) {
        scenario();
        why = skips();
    }
    bool reported = write(report, why.data(), why.size()) == static_cast<ssize_t>(why.size());
    std::fflush(nullptr);
    _exit(reported && !testing::Test::HasFailure() ? 0 : 1);
}

}  // namespace private_mounts

// Runs `scenario` in a child process with a mount namespace of its own (inside a user namespace
// when not root), so that its mounts need no privilege and vanish with it. Its failures fail the
// test; it is skipped, with the reason, when it skips or no such namespace is allowed here.
inline void in_private_mounts(const std::function<void()>& scenario) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        close(report[0]);
        private_mounts::run(report[1], scenario);
    }
    close(report[1]);
    // The pipe, read through its name as a file until the child exits.
    std::string why = read_file("/proc/self/fd/" + std::to_string(report[0]));
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the scenario failed in its own mount namespace (see above)";
    if (!why.empty()) GTEST_SKIP() << why;
}

// Temporary folders and whole-file reads and writes for the tests.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>

#include "hosts.h"
#include "platform.h"

// A fresh folder under the system's temporary folder, removed with all it holds when the test
// ends, whether its assertions passed or not.
class TempDir {
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
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

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

inline void write_file(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
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

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The names of the files in `dir`, sorted, to show that no temporary file is left behind.
inline std::string list_dir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const auto& name : names) joined += name + " ";
    return joined;
}

// Makes the program end the lines it writes with `end` for as long as it lives, as its build for
// another platform does, so that Windows' line ends are tried here too.
class OwnLineEnd {
public:
    explicit OwnLineEnd(const char* end) : saved_(own_line_end) { own_line_end = end; }
    ~OwnLineEnd() { own_line_end = saved_; }
    OwnLineEnd(const OwnLineEnd&) = delete;
    OwnLineEnd& operator=(const OwnLineEnd&) = delete;

private:
    const char* saved_;
};

// Makes writes to regular files fail once they pass `bytes`, in this process and the programs
// it starts, for as long as it lives. With `signal_kills`, they start with SIGXFSZ at its
// default, which kills a process that writes past the limit unless it ignores the signal itself.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes, bool signal_kills = false) {
        std::signal(SIGXFSZ, signal_kills ? SIG_DFL : SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_;
};

// A file system mounted over `target` for as long as it lives: a small tmpfs that fills up, or a
// file bound over another, as containers mount their hosts file. Needs the right to mount: use it
// inside in_private_mounts.
class Mount {
public:
    Mount(const char* source, const std::string& target, const char* type, unsigned long flags,
          const char* data = nullptr)
        : target_(target),
          mounted_(mount(source, target.c_str(), type, flags, data) == 0),
          error_(mounted_ ? 0 : errno) {}
    ~Mount() {
        if (mounted_) umount(target_.c_str());
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;

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

inline bool write_proc(const char* path, const std::string& text) {
    std::FILE* f = std::fopen(path, "w");
    if (!f) return false;
    bool written = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && written;
}

// An ordinary user may mount inside a user namespace of its own; its own ids are mapped into it,
// so that the files it makes there keep their owner.
inline std::string enter_user_namespace() {
    const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return std::string("user namespaces are refused here: ") + std::strerror(errno);
    if (!write_proc("/proc/self/setgroups", "deny") ||
        !write_proc("/proc/self/uid_map", uid + " " + uid + " 1\n") ||
        !write_proc("/proc/self/gid_map", gid + " " + gid + " 1\n"))
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

inline std::string read_all(int fd) {
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    return text;
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
    std::string why = private_mounts::read_all(report[0]);
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the scenario failed in its own mount namespace (see above)";
    if (!why.empty()) GTEST_SKIP() << why;
}

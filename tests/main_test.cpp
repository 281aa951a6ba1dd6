// End-to-end: the built program, driven through its standard input like a user would.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>

#include "test_files.h"
#include "texts.h"

namespace {

const std::string menu = std::string(texts::menu) + "cmd:";
const std::string end_of_input = menu + "\n";
const std::string usage = texts::usage;
const std::string no_such_item = texts::no_such_item;
const std::string add_prompt = std::string(texts::format_hint) + texts::add_prompt;
const std::string delete_prompt = std::string(texts::format_hint) + texts::delete_prompt;
const std::string backed_up = texts::backed_up;
const std::string restored = texts::restored;
const std::string pause_prompt = texts::pause_prompt;

// What a command that changed the file prints after its request.
std::string added(const std::string& request) { return filled(texts::added, request); }
std::string deleted(const std::string& request) { return filled(texts::deleted, request); }
// What a command prints for a request that cannot form an entry, and for a host the file lacks.
std::string malformed(const std::string& request) {
    return filled(texts::write_malformed, request) + err_line("hosts_write", write_malformed);
}
std::string missing(const std::string& request) {
    return filled(texts::write_missing, request) + err_line("hosts_write", write_missing);
}

struct Session {
    std::string out, err;
    int status;
};

// A test folder holding the hosts file at etc/hosts and the program's working folder work/,
// where the program under test finds them as ../etc/hosts and hosts.
class Machine {
public:
    Machine() { std::filesystem::create_directories(dir_.root() / "work"); }
    std::string hosts() const { return dir_.path("etc/hosts"); }
    std::string backup() const { return dir_.path("work/hosts"); }
    std::string folder(const std::string& name) const { return dir_.path(name); }

    // Runs the program in work/ on the whole standard input `input`, with the words `arguments`.
    Session run(const std::string& input, const std::string& arguments = "") const {
        return run_with(input, arguments + " > '" + dir_.path("stdout") + "'");
    }

    // The same with its standard error to the file stderr and then the shell words `output`,
    // which send its standard output to the file stdout or elsewhere; both files come back.
    Session run_with(const std::string& input, const std::string& output) const {
        write_file(dir_.path("stdin"), input);
        // A program that hangs fails its test instead of the whole run.
        std::string command = "cd '" + dir_.path("work") + "' && " + as + "timeout 60 '" + program +
                              "' < '" + dir_.path("stdin") + "' 2> '" + dir_.path("stderr") + "' " +
                              output;
        int status = std::system(command.c_str());
        return {read_file(dir_.path("stdout")), read_file(dir_.path("stderr")),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }

    // Shell words before the program's time limit: another user's ids, a cd, an environment.
    std::string as;
    // The program run: the test build, or a copy that another user can reach.
    std::string program = TEST_PROGRAM;

private:
    TempDir dir_;
};

std::string screens(std::initializer_list<std::string> outputs) {
    std::string all;
    for (const auto& output : outputs) all += menu + output;
    return all + end_of_input;
}

const std::string ten_entries_with_comments =
    "# Copyright (c) 1993-2009 Microsoft Corp.\n"
    "#\n"
    "# This is a sample HOSTS file used by Microsoft TCP/IP for Windows.\n"
    "\n"
    "127.0.0.1 localhost\n"
    "::1 localhost6\n"
    "# work\n"
    "10.0.0.1 intranet\n"
    "10.0.0.2 mail\n"
    "\n"
    "  10.0.0.9 parked\n"
    "10.0.0.3 wiki\n"
    "# ad block\n"
    "0.0.0.0 ads.example\n"
    "0.0.0.0 tracker.example\n"
    "#\n"
    "0.0.0.0 pixel.example\n"
    "0.0.0.0 beacon.example\n"
    "0.0.0.0 metrics.example\n"
    "# end\n";

// `text` without the first copy of each of `lines`.
std::string without(std::string text, std::initializer_list<std::string> lines) {
    for (const auto& line : lines) text.erase(text.find(line), line.size());
    return text;
}

// What a folder holds, link targets and file contents included, to show that nothing changed.
std::string describe(const std::string& folder) {
    std::string all;
    for (const auto& entry : entries_of(folder)) {
        std::string path = entry.path().string();
        all += entry.path().filename().string();
        if (entry.is_symlink()) {
            all += " -> " + std::filesystem::read_symlink(path).string();
        } else if (entry.is_directory()) {
            all += "/ {" + describe(path) + "}";
        } else if (entry.is_regular_file()) {
            all += " = " + read_file(path);
        } else {
            all += " (special)";
        }
        all += "; ";
    }
    return all;
}

// A file's bytes, or no file at all.
using File = std::optional<std::string>;
const File none;

// What describe() shows of a folder that holds `file` as hosts and nothing else.
std::string holding(const File& file) { return file ? "hosts = " + *file + "; " : ""; }

// A session of the program: the files before it, its whole standard input, and what it must
// print and leave. Unless its row says otherwise, it prints no error and changes no file.
struct Script {
    const char* does;  // what the program does, as a sentence
    File hosts;        // etc/hosts
    File backup;       // work/hosts
    std::string input;
    std::string out;
    std::string err{};
    File hosts_after = hosts;
    File backup_after = backup;
    // Writes past this size fail (0: no limit); with `limit_kills`, SIGXFSZ starts at its default,
    // which kills the program with the first bytes past it written unless it ignores the signal.
    rlim_t limit = 0;
    bool limit_kills = false;
    std::string as{};  // the shell words before the program, as Machine::as
    std::string arguments{};
    int status = 0;
    const char* skip = nullptr;  // why the row cannot run in this build
};

// Limits that leave AddressSanitizer no room to start: it reserves terabytes of address space,
// and opens files of its own before the program's first line.
#if defined(__SANITIZE_ADDRESS__)
const char* const tight_limit = "AddressSanitizer cannot start under the limit";
#else
const char* const tight_limit = nullptr;
#endif
// The shell words that run the program with descriptors 1 and 2 closed and the limits `limits`.
std::string closed_1_and_2(const std::string& limits) {
    return "sh -c 'exec \"$0\" \"$@\" >&- 2>&-' prlimit " + limits + " ";
}

const std::string listing = "[127.0.0.1 localhost]\n[::1 ip6-localhost]\n";
const std::string not_loaded = err_line("hosts_read", read_open_failed);
const std::string no_hosts = "hosts_read fopen err: No such file or directory\n";
const std::string unsplittable = "space_loc:2.2.2.2\vb\n" +
                                 err_line("separate_str", line_no_space) +
                                 err_line("hosts_read", read_unsplittable);
const std::string too_long = "1.2.3.4 " + std::string(1500, 'h');
// Larger than the program's buffers, and one that a size limit can stop halfway.
const std::string large = with_many_hosts(ten_entries_with_comments, 50 * 1024);
const std::string four_kib = with_many_hosts(ten_entries_with_comments, 4096);
const std::string all_bytes = [] {
    std::string bytes;
    for (int i = 0; i < 3 * 2048 + 100; ++i) bytes.push_back(static_cast<char>(i * 7 % 256));
    return bytes + "\r\n127.0.0.1 a\r\n";
}();
const std::string saved = "# saved\n10.0.0.1 saved.example\n";
// Whose table, 350 bytes an entry, is larger than 40 MiB.
const std::string five_mib = with_many_hosts(ten_entries_with_comments, 5 << 20);

const Script scripts[] = {
    {"lists the file and shows the usage, a backup beside it", "1.1.1.1 a\n", "2.2.2.2 b\n",
     "3\n6\n", screens({"[1.1.1.1 a]\n", usage})},
    {"takes no arguments", "1.1.1.1 a\n", "2.2.2.2 b\n", "3\n6\n",
     screens({"[1.1.1.1 a]\n", usage}), "", "1.1.1.1 a\n", "2.2.2.2 b\n", 0, false, "",
     "--help -h 5 /etc/hosts"},
    {"reads no environment", "1.1.1.1 a\n", "2.2.2.2 b\n", "3\n6\n",
     screens({"[1.1.1.1 a]\n", usage}), "", "1.1.1.1 a\n", "2.2.2.2 b\n", 0, false,
     "HOSTS_PATH=\"$PWD/hosts\" LC_ALL=C.UTF-8 "},
    {"lists the entries, shows the usage and answers other numbers, then ends with its input",
     "# c\n127.0.0.1 localhost\n::1 ip6-localhost\n", none, "3\n6\n7\n+3\n-3\n",
     screens({listing, usage, no_such_item, listing, no_such_item})},
    {"answers anything but a menu number with no such item", none, none,
     "0\n-1\nabc\n\n12345678901234\n  6\n6abc\n",
     screens({no_such_item, no_such_item, no_such_item, no_such_item, no_such_item, usage, usage})},
    {"takes a last command without a line end", none, none, "6", screens({usage})},
    {"takes a last long number without a line end", none, none, "12345678901234",
     screens({no_such_item})},
    {"finds no line end in a NUL byte", none, none, std::string("6\0x\n6\n", 6),
     screens({usage, usage})},
    {"ends at the end of input at the menu", "1.1.1.1 a\n", none, "", end_of_input},
    {"ends at the end of input at the add prompt", "1.1.1.1 a\n", none, "2\n",
     menu + add_prompt + "\n"},
    {"ends at the end of input at the delete prompt", "1.1.1.1 a\n", none, "4\n",
     menu + delete_prompt + "\n"},
    {"ends at the end of input at the add prompt after an add", "1.1.1.1 a\n", none,
     "2\n2.2.2.2 b\n2\n", menu + add_prompt + added("2.2.2.2 b") + menu + add_prompt + "\n", "",
     "1.1.1.1 a\n2.2.2.2 b\n"},
    {"lists nothing for a file of comments", "# only\n\n  1.1.1.1 indented\n", none, "3\n",
     screens({""})},
    {"reports to a list and an add that the hosts file is missing", none, none, "3\n2\n1.1.1.1 a\n",
     screens({not_loaded, add_prompt + not_loaded}), no_hosts + no_hosts},
    {"reports to a list and a delete a line of the hosts file that it cannot split",
     "1.1.1.1 a\n2.2.2.2\vb\n", none, "3\n4\n1.1.1.1 a\n",
     screens({unsplittable, delete_prompt + unsplittable})},
    {"adds, replaces and deletes associations", "127.0.0.1 localhost\n", none,
     "2\n1.2.3.4 a.com\n2\n5.6.7.8 a.com\n4\n9.9.9.9 localhost\n4\n1.1.1.1 none\n3\n",
     screens({add_prompt + added("1.2.3.4 a.com"), add_prompt + at(1) + added("5.6.7.8 a.com"),
              delete_prompt + at(0) + deleted("9.9.9.9 localhost"),
              delete_prompt + missing("1.1.1.1 none"), "[5.6.7.8 a.com]\n"}),
     "", "5.6.7.8 a.com\n"},
    {"keeps every comment through a replace and a delete", ten_entries_with_comments, none,
     "2\n10.1.1.1 mail\n4\n0.0.0.0 tracker.example\n",
     screens({add_prompt + at(3) + added("10.1.1.1 mail"),
              delete_prompt + at(5) + deleted("0.0.0.0 tracker.example")}),
     "",
     without(ten_entries_with_comments, {"10.0.0.2 mail\n", "0.0.0.0 tracker.example\n"}) +
         "10.1.1.1 mail\n"},
    {"refuses requests that cannot form an entry and leaves the file", "1.1.1.1 a\n", none,
     "2\nnospace\n4\n\n2\n1.1.1.1 \n2\n" + too_long + "\n6\n",
     screens({add_prompt + malformed("nospace"), delete_prompt + malformed(""),
              add_prompt + malformed("1.1.1.1 "), add_prompt + malformed(too_long.substr(0, 1023)),
              usage})},
    {"leaves the hosts file whole when a rewrite cannot be written", large, none,
     "4\n127.0.0.1 localhost\n",
     screens({delete_prompt + at(0) + err_line("hosts_write", write_kept_failed)}),
     "fprintf err: File too large\n", large, none, large.size() / 2},
    {"cuts an append back when a file size limit falls inside its line", four_kib, none,
     "2\n198.51.100.200 a-rather-long-host-name.example\n",
     screens({add_prompt + err_line("hosts_write", write_append_failed)}),
     "fprintf err: File too large\n", four_kib, none, four_kib.size() + 20, true},
    {"backs up byte for byte over an older backup", all_bytes, "an older backup\n", "1\n",
     screens({backed_up}), "", all_bytes, all_bytes},
    {"backs up an empty hosts file", "", all_bytes, "1\n", screens({backed_up}), "", "", ""},
    {"restores the backup and lists what it restored", "", saved, "5\n3\n",
     screens({restored, "[10.0.0.1 saved.example]\n"}), "", saved},
    {"restores nothing when the backup is missing", "1.1.1.1 a\n", none, "5\n", screens({""}),
     "fopen rPath: No such file or directory\n"},
    {"backs up nothing when the hosts file is missing", none, "backup\n", "1\n", screens({""}),
     "fopen rPath: No such file or directory\n"},
    {"creates a missing hosts file by a restore alone", none, "backup\n", "2\n1.1.1.1 a\n5\n",
     screens({add_prompt + not_loaded, restored}), no_hosts, "backup\n"},
    {"refuses to copy the hosts file onto itself", "1.1.1.1 a\n", none, "1\n5\n3\n",
     screens({"", "", "[1.1.1.1 a]\n"}),
     "fopen wFp: ../etc/hosts and hosts are the same file\n"
     "fopen wFp: hosts and ../etc/hosts are the same file\n",
     "1.1.1.1 a\n", none, 0, false, "cd ../etc && "},
    {"keeps the old backup when a copy fails part way", std::string(100000, 'x'), "old backup\n",
     "1\n", screens({""}), "fwrite wFp: File too large\n", std::string(100000, 'x'), "old backup\n",
     50000},
    {"reads a command up to a carriage return and a request up to a NUL byte", "1.1.1.1 a\n", none,
     std::string("3\r\n4\n1.1.1.1 \0a\n6\n", 18),
     screens({"[1.1.1.1 a]\n", delete_prompt + malformed("1.1.1.1 "), usage})},
    // A script's CR belongs to the host part: another host name, added beside the first, and a
    // delete removes one of them.
    {"takes a carriage return at the end of a request as part of its host name", "1.1.1.1 a\n",
     none, "2\n2.2.2.2 a\r\n4\n0 a\n",
     screens({add_prompt + added("2.2.2.2 a\r"), delete_prompt + at(0) + deleted("0 a")}), "",
     "2.2.2.2 a\r\n"},
    {"refuses a request that holds a NUL, up to it, before it loads the file", none, none,
     std::string("2\n1.2.3.4 good") + '\0' + "evil.example\n",
     screens({add_prompt + malformed("1.2.3.4 good")})},
    {"reports a read error on its input after the line end of the end of input", none, none, "",
     end_of_input, "stdin: Is a directory\n", none, none, 0, false, "", "< .", 1},
    // Descriptors closed at start would be the hosts file's, and a report would land in it.
    {"writes no report into the hosts file when it cannot open it for a lack of descriptors",
     "1.1.1.1 a\n", none, "3\n", "", "", "1.1.1.1 a\n", none, 0, false,
     closed_1_and_2("--nofile=3"), "", 0, tight_limit},
    {"writes no report into the hosts file when it has no memory for its table", five_mib, none,
     "3\n", "", "", five_mib, none, 0, false, closed_1_and_2("--as=41943040"), "", 0, tight_limit},
};

// Checks that `got` is `want`; for large files it shows only where they part, since gtest's line
// diff of two files of 200,000 lines would take all the memory there is.
void expect_same(const std::string& got, const std::string& want) {
    if (got.size() + want.size() < (1 << 16)) {
        EXPECT_EQ(got, want);
        return;
    }
    std::size_t at =
        std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
    EXPECT_TRUE(got == want) << "they part at byte " << at << ": " << got.substr(at, 60);
}

// Runs `script` on `m`, under its file size limit if it has one.
Session run(Machine& m, const Script& script) {
    std::optional<FileSizeLimit> limit;
    if (script.limit != 0) limit.emplace(script.limit, script.limit_kills);
    m.as = script.as;
    return m.run(script.input, script.arguments);
}

// The shell words that start a program as an unprivileged user, another user of the machine.
const std::string another_user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
// Whether the tests can play that user: as root, with setpriv.
bool can_be_another_user() {
    return geteuid() == 0 && std::system("command -v setpriv > /dev/null") == 0;
}

// The program run on a pseudo-terminal of its own, as from a shell. The test keeps the terminal's
// other side open too, so that its settings can still be read after the program has ended.
// How long a terminal test waits for what it expects: far beyond what a loaded machine needs,
// and a program that hangs still fails its test rather than stall the suite.
constexpr std::chrono::seconds patience(10);

class Terminal : Uncopyable {
public:
    // With `file`, the standard stream `side` (input or output) is that file instead.
    explicit Terminal(const std::string& cwd, rlim_t file_size_limit = RLIM_INFINITY, int side = -1,
                      const std::string& file = "") {
        EXPECT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        child_ = fork();
        EXPECT_NE(child_, -1) << std::strerror(errno);
        if (child_ == 0) start(cwd, file_size_limit, side, file);
    }
    ~Terminal() {
        if (child_ > 0 && !ended_) {
            kill(child_, SIGKILL);
            wait();
        }
        close(master_);
        close(slave_);
    }

    // Everything the program has shown, once `wanted` is among it or `most` has passed.
    const std::string& read_until(const std::string& wanted, std::chrono::seconds most = patience) {
        auto deadline = std::chrono::steady_clock::now() + most;
        while (seen_.find(wanted) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0) continue;
            char piece[4096];
            ssize_t got = read(master_, piece, sizeof piece);
            if (got <= 0) break;
            seen_.append(piece, got);
        }
        return seen_;
    }
    void type(const std::string& keys) {
        EXPECT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    pid_t pid() const { return child_; }
    // The program's wait status, once it has ended.
    int wait() {
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + patience;
        while (waitpid(child_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) kill(child_, SIGKILL);
            usleep(1000);
        }
        ended_ = true;
        return status;
    }
    // The terminal's line discipline settings as the program sees them.
    tcflag_t local_modes() const {
        termios settings{};
        EXPECT_EQ(tcgetattr(slave_, &settings), 0);
        return settings.c_lflag;
    }

private:
    [[noreturn]] void start(const std::string& cwd, rlim_t file_size_limit, int side,
                            const std::string& file) {
        close(master_);
        FileSizeLimit limit(file_size_limit);  // lasts into the program that replaces this one
        int flags = side == STDIN_FILENO ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
        int other = file.empty() ? -1 : open(file.c_str(), flags, 0600);
        if (login_tty(slave_) == 0 &&
            (file.empty() || (dup2(other, side) == side && !close(other))) &&
            chdir(cwd.c_str()) == 0)
            execl(TEST_PROGRAM, TEST_PROGRAM, nullptr);
        _exit(127);
    }

    int master_ = -1;
    int slave_ = -1;
    pid_t child_ = -1;
    bool ended_ = false;
    std::string seen_;
};

// `text` as a terminal shows it: each line end as CR LF.
std::string on_terminal(const std::string& text) {
    std::string shown;
    for (char c : text) shown += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return shown;
}

struct Planted {
    const char* what;
    std::function<bool(const Machine&)> plant;  // false when it cannot be planted here
    const char* is;
};

// Runs `command` in `folder` as an unprivileged user, as another user of the machine would.
int as_other_user(const std::string& folder, const std::string& command) {
    std::string line =
        "cd '" + folder + "' && " + another_user + "-- sh -c '" + command + "' 2>/dev/null";
    return std::system(line.c_str());
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A hosts file of tests/hosts-files, as a system or a hand writes it, a name that stands alone on
// its line and appears nowhere else in it (none in Windows' own file), and what a listing shows.
struct RealFile {
    const char* file;
    std::string name;
    std::string listing;
};

const std::string v6_listing =
    "[::1 ip6-localhost ip6-loopback]\n[fe00::0 ip6-localnet]\n[ff00::0 ip6-mcastprefix]\n"
    "[ff02::1 ip6-allnodes]\n[ff02::2 ip6-allrouters]\n";
const std::string container_listing =
    "[127.0.0.1 localhost]\n[::1 localhost ip6-localhost ip6-loopback]\n[fe00::0 ip6-localnet]\n";
const std::string docker_listing =
    "[192.168.1.20 host.docker.internal]\n"
    "[192.168.1.20 gateway.docker.internal]\n"
    "[127.0.0.1 kubernetes.docker.internal]\n";
const RealFile real_files[] = {
    {"ubuntu", "ubuntu-desktop",
     "[127.0.0.1 localhost]\n[127.0.1.1 ubuntu-desktop]\n" + v6_listing},
    {"docker", "4f1c2b3a9d8e",
     container_listing + "[ff00::0 ip6-mcastprefix]\n[ff02::1 ip6-allnodes]\n"
                         "[ff02::2 ip6-allrouters]\n[172.17.0.2 4f1c2b3a9d8e]\n"},
    {"kubernetes", "web-5d8c7b9f4-qx2lm",
     container_listing + "[fe00::0 ip6-mcastprefix]\n[fe00::1 ip6-allnodes]\n"
                         "[fe00::2 ip6-allrouters]\n[10.244.1.7 web-5d8c7b9f4-qx2lm]\n"
                         "[127.0.0.1 foo.local\tbar.local]\n"},
    {"wsl", "kubernetes.docker.internal",
     "[127.0.0.1 localhost]\n[127.0.1.1 DESKTOP-7Q2M4KX.\tDESKTOP-7Q2M4KX]\n" + docker_listing +
         v6_listing},
    {"macos", "broadcasthost",
     "[127.0.0.1 localhost]\n[255.255.255.255 broadcasthost]\n[::1 localhost]\n"},
    {"fedora", "nas",
     "[127.0.0.1 localhost localhost.localdomain localhost4 localhost4.localdomain4]\n"
     "[::1 localhost localhost.localdomain localhost6 localhost6.localdomain6]\n[10.0.0.5 nas]\n"},
    {"alpine", "nas",
     "[127.0.0.1 localhost localhost.localdomain]\n[::1 localhost localhost.localdomain]\n"
     "[fd00::5 nas]\n"},
    {"windows", "", ""},
    {"windows-docker-desktop", "kubernetes.docker.internal", docker_listing},
    {"windows-aligned", "printer.home",
     "[127.0.0.1 localhost]\n[::1 localhost]\n[192.168.0.1 router\t# the box in the hall]\n"
     "[192.168.0.10 nas.home]\n[192.168.0.20 printer.home]\n[10.8.0.1 vpn.corp]\n"},
};

// `file` without the one line that holds `name`, which appears nowhere else in it.
std::string without_line_of(const std::string& file, const std::string& name) {
    std::size_t at = file.find(name);
    EXPECT_EQ(file.find(name, at + 1), std::string::npos) << name << " appears twice";
    std::size_t begin = file.rfind('\n', at) + 1, end = file.find('\n', at) + 1;
    return file.substr(0, begin) + file.substr(end);
}

// Why the system's resolver cannot be asked about a scratch hosts file here: "" when it can.
std::string resolver_unusable() {
    bool can = geteuid() == 0 &&
               std::system("unshare -m true 2>/dev/null && command -v getent >/dev/null") == 0;
    return can ? "" : "asking the resolver needs root, unshare -m (util-linux) and getent";
}

// What glibc's resolver answers for `name` with the machine's hosts file as it stands now, bound
// over /etc/hosts in a mount namespace of its own, where the bind mount stays.
std::string resolved(const Machine& m, const std::string& name) {
    std::string ask = "unshare -m sh -c \"mount --bind '" + m.hosts() +
                      "' /etc/hosts && getent -s files hosts '" + name + "'\" > '" +
                      m.folder("answer") + "'";
    EXPECT_LE(std::system(ask.c_str()), 2 << 8) << ask;  // 2: not found
    return read_file(m.folder("answer"));
}

}  // namespace

TEST(Program, PrintsAndLeavesWhatEachScriptedSessionOfTheTableExpects) {
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.does);
        if (script.skip) {
            std::printf("skipped here: %s: %s\n", script.does, script.skip);
            continue;
        }
        Machine m;
        std::filesystem::create_directories(m.folder("etc"));
        if (script.hosts) write_file(m.hosts(), *script.hosts);
        if (script.backup) write_file(m.backup(), *script.backup);
        Session s = run(m, script);
        EXPECT_EQ(s.out, script.out);
        EXPECT_EQ(s.err, script.err);
        EXPECT_EQ(s.status, script.status);
        expect_same(describe(m.folder("etc")), holding(script.hosts_after));
        expect_same(describe(m.folder("work")), holding(script.backup_after));
    }
}

TEST(Program, ListsDeletesAndReplacesInTheHostsFilesSystemsWriteAndKeepsEveryOtherByte) {
    const std::string unusable = resolver_unusable();
    for (const RealFile& real : real_files) {
        SCOPED_TRACE(real.file);
        const std::string file = read_file(std::string(HOSTS_FILES) + "/" + real.file);
        Machine m;
        write_file(m.hosts(), file);
        EXPECT_EQ(m.run("3\n").out, screens({real.listing}));
        if (real.name.empty()) continue;
        std::string entry = " " + real.name + "]\n";
        int loc =
            std::count(real.listing.begin(), real.listing.begin() + real.listing.find(entry), '\n');
        EXPECT_EQ(m.run("4\n0 " + real.name + "\n").out,
                  screens({delete_prompt + at(loc) + deleted("0 " + real.name)}));
        EXPECT_EQ(describe(m.folder("etc")), holding(without_line_of(file, real.name)));
        if (unusable.empty()) {
            EXPECT_EQ(resolved(m, real.name), "");
        }
        write_file(m.hosts(), file);
        const std::string request = "203.0.113.9 " + real.name;
        EXPECT_EQ(m.run("2\n" + request + "\n").out,
                  screens({add_prompt + at(loc) + added(request)}));
        EXPECT_EQ(describe(m.folder("etc")),
                  holding(without_line_of(file, real.name) + request + "\n"));
        if (unusable.empty()) {
            EXPECT_EQ(resolved(m, real.name), "203.0.113.9     " + real.name + "\n");
        }
    }
    if (!unusable.empty()) GTEST_SKIP() << unusable << "; the rest passed";
}

TEST(Program, FailsARewriteBackupOrRestoreWhereOnlyTheFileItselfIsWritable) {
    if (!can_be_another_user()) GTEST_SKIP() << "needs root and setpriv (util-linux)";
    Machine m;
    write_file(m.hosts(), "10.0.0.1 a\n10.0.0.2 b\n");
    write_file(m.backup(), "10.0.0.3 c\n");
    // The other user owns both files, in folders that only root may add files to.
    for (const char* folder : {"", "etc", "work"}) chmod(m.folder(folder).c_str(), 0755);
    ASSERT_EQ(chown(m.hosts().c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(m.backup().c_str(), 65534, 65534), 0);
    m.as = another_user;
    // The build folder may be closed to that user (a checkout in a 0700 folder).
    m.program = m.folder("hosts-manager");
    std::filesystem::copy_file(TEST_PROGRAM, m.program);
    Session s = m.run("4\n1 a\n1\n5\n");
    EXPECT_EQ(s.out, screens({delete_prompt + at(0) + err_line("hosts_write", write_reread_failed),
                              "", ""}));
    EXPECT_EQ(s.err,
              "hosts_write fopen err: Permission denied\n"
              "fopen wFp: Permission denied\nfopen wFp: Permission denied\n");
    EXPECT_EQ(describe(m.folder("etc")) + describe(m.folder("work")),
              holding("10.0.0.1 a\n10.0.0.2 b\n") + holding("10.0.0.3 c\n"));
}

TEST(Program, PausesForAKeyAndClearsTheScreenOnATerminal) {
    Machine m;
    Terminal t(m.folder("work"));
    t.read_until("cmd:");
    t.type("6\n");
    ASSERT_NE(t.read_until(pause_prompt).find(pause_prompt), std::string::npos) << t.read_until("");
    const std::string& seen = t.read_until("\033[H", std::chrono::seconds(1));
    EXPECT_EQ(seen.substr(seen.size() - pause_prompt.size()), pause_prompt) << "did not wait";
    t.type("x");
    std::string cleared = pause_prompt + "\r\n\033[H\033[2J\033[3J" + on_terminal(menu);
    EXPECT_NE(t.read_until(cleared).find(cleared), std::string::npos) << t.read_until("");
    t.type("\x04");
    EXPECT_EQ(t.wait(), 0) << "exits with 0";
}

TEST(Program, PausesOnlyForATerminalInputAndClearsOnlyATerminalOutput) {
    Machine m;
    write_file(m.folder("keys"), "6\n");
    const std::string clear = "\033[H\033[2J\033[3J";
    Terminal shown(m.folder("work"), RLIM_INFINITY, STDIN_FILENO, m.folder("keys"));
    const std::string seen = on_terminal(menu + usage) + clear + on_terminal(end_of_input);
    EXPECT_EQ(shown.read_until(seen), seen);
    EXPECT_EQ(shown.wait(), 0) << "exits with 0";
    Terminal typed(m.folder("work"), RLIM_INFINITY, STDOUT_FILENO, m.folder("shown"));
    // Each key only once the program shows that it waits for it: a pause takes all it can read.
    auto shows = [&m](const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + patience;
        while (read_file(m.folder("shown")).find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            usleep(1000);
    };
    typed.type("6\n");
    shows(pause_prompt);
    typed.type("x");
    shows(pause_prompt + "\n" + menu);
    typed.type("\x04");
    EXPECT_EQ(typed.wait(), 0) << "exits with 0";
    EXPECT_EQ(read_file(m.folder("shown")), menu + usage + pause_prompt + "\n" + end_of_input);
}

TEST(Program, LosesNothingWhenTheDiskFillsUpDuringARestoreOrARewrite) {
    in_private_mounts([] {
        Machine m;
        std::filesystem::create_directories(m.folder("etc"));
        Mount disk("tmpfs", m.folder("etc"), "tmpfs", 0, "size=262144");
        if (!disk.mounted())
            GTEST_SKIP() << "mounting a small tmpfs is refused here: " << disk.error();
        const std::string file = with_many_hosts(ten_entries_with_comments, 150 * 1024);
        write_file(m.hosts(), file);
        write_file(m.backup(), file + file);
        Session restore = m.run("5\n");
        EXPECT_EQ(restore.out, screens({""}));
        EXPECT_EQ(restore.err, "fwrite wFp: No space left on device\n");
        Session rewrite = m.run("2\n10.0.0.5 localhost\n");
        EXPECT_EQ(rewrite.out,
                  screens({add_prompt + at(0) + err_line("hosts_write", write_kept_failed)}));
        EXPECT_EQ(rewrite.err, "fprintf err: No space left on device\n");
        EXPECT_EQ(describe(m.folder("etc")), holding(file));
    });
}

TEST(Program, TakesLinesOfEveryLengthAroundItsBuffers) {
    Machine m;
    const std::string file = "1.1.1.1 a\n";
    write_file(m.hosts(), file);
    for (std::size_t length : {8, 9, 10, 1022, 1023, 1024, 5000}) {
        std::string digits(length, '7');
        Session at_menu = m.run(digits + "\n6\n");
        EXPECT_EQ(at_menu.out, screens({no_such_item, usage})) << length;
        std::string request = "1.1.1.1 " + std::string(length - 8, 'h');
        Session at_request = m.run("4\n" + request + "\n6\n");
        std::string typed = request.substr(0, 1023);
        bool fits = length > 8 && length - 8 < 300;
        std::string answer = fits ? missing(typed) : malformed(typed);
        EXPECT_EQ(at_request.out, screens({delete_prompt + answer, usage})) << length;
        EXPECT_EQ(read_file(m.hosts()), file);
        EXPECT_EQ(m.run(digits).status, 0);
        EXPECT_EQ(m.run("4\n" + request).status, 0);
        EXPECT_EQ(read_file(m.hosts()), file);
    }
}

TEST(Program, NeitherCrashesNorChangesTheFileOnRandomBytes) {
    Machine m;
    const std::string file = ten_entries_with_comments;
    write_file(m.hosts(), file);
    std::mt19937 random(20261208);
    for (int round = 0; round < 40; ++round) {
        std::string input(random() % 3000, '\0');
        for (char& c : input) {
            c = static_cast<char>(random() % 256);
            // Commands 2, 4 and 5 would change the file on purpose.
            if (c == '2' || c == '4' || c == '5') c = '\n';
        }
        Session s = m.run(input);
        EXPECT_EQ(s.status, 0) << round;
        EXPECT_EQ(s.out.substr(s.out.size() - end_of_input.size()), end_of_input);
        EXPECT_EQ(read_file(m.hosts()), file);
    }
}

TEST(Program, NeverBacksUpOrRestoresThroughALinkFifoDeviceOrFolderPlantedAsTheBackup) {
    const Planted cases[] = {
        {"another user's link to a root-only file",
         [](const Machine& m) {
             write_file(m.folder("secret"), "root only\n");
             chmod(m.folder("secret").c_str(), 0600);
             if (symlink(m.folder("secret").c_str(), m.backup().c_str()) != 0) return false;
             return geteuid() != 0 || lchown(m.backup().c_str(), 65534, 65534) == 0;
         },
         "a symbolic link"},
        {"a FIFO", [](const Machine& m) { return mkfifo(m.backup().c_str(), 0666) == 0; },
         "a FIFO"},
        {"a link to an endless device",
         [](const Machine& m) { return symlink("/dev/zero", m.backup().c_str()) == 0; },
         "a symbolic link"},
        {"a device",
         [](const Machine& m) {
             return mknod(m.backup().c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0;
         },
         "a device"},
        {"a folder", [](const Machine& m) { return write_file(m.backup() + "/inside", "kept\n"); },
         "a folder"},
    };
    for (const auto& c : cases) {
        for (const char* command : {"1\n", "5\n"}) {
            SCOPED_TRACE(std::string(c.what) + ", command " + command);
            Machine m;
            write_file(m.hosts(), "10.0.0.1 a\n");
            // A shared folder: anyone may create names in it, as in /tmp.
            chmod(m.folder("work").c_str(), 01777);
            if (!c.plant(m)) {
                std::printf("skipped here: %s cannot be planted: %s\n", c.what,
                            std::strerror(errno));
                continue;
            }
            auto files = [&m] {
                return describe(m.folder("etc")) + describe(m.folder("work")) +
                       read_file(m.folder("secret"));
            };
            std::string before = files();
            Session s = m.run(command);
            EXPECT_EQ(s.status, 0);
            EXPECT_EQ(s.out, screens({""}));
            EXPECT_EQ(s.err, std::string(command[0] == '1' ? "fopen wFp" : "fopen rPath") +
                                 ": hosts is " + c.is + "\n");
            EXPECT_EQ(files(), before);
        }
    }
}

TEST(Program, BacksUpAsItsOwnUserAndRestoresNoBackupThatAnotherUserCouldWrite) {
    if (!can_be_another_user()) GTEST_SKIP() << "needs root and setpriv (util-linux)";
    const std::string poison = "203.0.113.66 security.debian.org\n";
    Machine m;
    write_file(m.hosts(), "10.0.0.1 a\n");
    chmod(m.hosts().c_str(), 0600);
    chmod(m.folder("").c_str(), 0755);
    chmod(m.folder("work").c_str(), 01777);  // shared, as /tmp is
    ASSERT_EQ(as_other_user(m.folder("work"), "umask 0; : > hosts"), 0);
    EXPECT_EQ(m.run("1\n").out, screens({backed_up}));
    struct stat st;
    ASSERT_EQ(stat(m.backup().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "as private as the hosts file";
    EXPECT_NE(as_other_user(m.folder("work"), "echo x >> hosts"), 0);
    EXPECT_EQ(read_file(m.backup()), "10.0.0.1 a\n");

    // A backup that is another user's, or that others may write, is theirs to fill.
    chmod(m.backup().c_str(), 0666);
    EXPECT_EQ(m.run("5\n").err, "fopen rPath: hosts is writable by others\n");
    std::remove(m.backup().c_str());
    ASSERT_EQ(as_other_user(m.folder("work"), "umask 022; echo " + poison + " > hosts"), 0);
    EXPECT_EQ(m.run("5\n").err, "fopen rPath: hosts is owned by another user\n");
    // Another name of a file may be anyone's: with fs.protected_hardlinks=0, /etc/shadow's.
    std::remove(m.backup().c_str());
    write_file(m.folder("secret"), poison);
    chmod(m.folder("secret").c_str(), 0600);
    ASSERT_EQ(link(m.folder("secret").c_str(), m.backup().c_str()), 0);
    EXPECT_EQ(m.run("5\n").err, "fopen rPath: hosts is a hard link\n");
    EXPECT_EQ(read_file(m.hosts()), "10.0.0.1 a\n");

    // A hosts file whose access list refuses a reader gives a backup for its owner alone.
    chmod(m.hosts().c_str(), 0644);
    if (std::system(("setfacl -m u:65534:- '" + m.hosts() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "setfacl (acl) and a file system with access lists";
    EXPECT_EQ(m.run("1\n").out, screens({backed_up}));
    EXPECT_EQ(mode_of(m.backup()), 0600u);
    EXPECT_NE(as_other_user(m.folder("work"), "cat hosts"), 0);
}

TEST(Program, RestoresAMissingHostsFileAsPrivateAsItsBackupWhateverTheUmask) {
    Machine m;
    std::filesystem::create_directories(m.folder("etc"));
    write_file(m.backup(), "10.0.0.1 a\n");
    chmod(m.backup().c_str(), 0644);
    mode_t umask_before = umask(077);
    Session s = m.run("5\n");
    umask(umask_before);
    EXPECT_EQ(s.out, screens({restored}));
    EXPECT_EQ(mode_of(m.hosts()), 0644u);
}

TEST(Program, KeepsTheAccessListAndTheAttributesOfTheHostsFileThroughARewrite) {
    Machine m;
    write_file(m.hosts(), ten_entries_with_comments);
    std::string acl_of = "getfacl -cp '" + m.hosts() + "' > '" + m.folder("acl") + "'";
    if (std::system(("setfacl -m u:65534:rw,g::r '" + m.hosts() + "' 2>/dev/null").c_str()) != 0 ||
        setxattr(m.hosts().c_str(), "user.origin", "kept", 4, 0) != 0)
        GTEST_SKIP() << "setfacl (acl) and a file system with access lists and user attributes";
    ASSERT_EQ(std::system(acl_of.c_str()), 0);
    std::string acl = read_file(m.folder("acl"));
    mode_t mode = mode_of(m.hosts());
    EXPECT_EQ(m.run("4\n0 mail\n").err, "");
    ASSERT_EQ(std::system(acl_of.c_str()), 0);
    EXPECT_EQ(read_file(m.folder("acl")), acl);
    EXPECT_EQ(mode_of(m.hosts()), mode);
    char value[8] = {};
    EXPECT_EQ(getxattr(m.hosts().c_str(), "user.origin", value, sizeof value), 4);
    EXPECT_STREQ(value, "kept");
}

TEST(Program, BacksUpAndRestoresTheHostsFileThroughItsOwnLink) {
    Machine m;
    write_file(m.folder("etc/real-hosts"), "10.0.0.1 a\n");
    ASSERT_EQ(symlink("real-hosts", m.hosts().c_str()), 0);
    EXPECT_EQ(m.run("1\n").out, screens({backed_up}));
    EXPECT_EQ(read_file(m.backup()), "10.0.0.1 a\n");
    write_file(m.backup(), "10.0.0.2 b\n");
    EXPECT_EQ(m.run("5\n").out, screens({restored}));
    EXPECT_EQ(describe(m.folder("etc")), "hosts -> real-hosts; real-hosts = 10.0.0.2 b\n; ");
    // A link that leads nowhere is neither replaced by a file nor followed to make one.
    std::filesystem::remove(m.folder("etc/real-hosts"));
    Session dangling = m.run("5\n");
    EXPECT_EQ(dangling.out, screens({""}));
    EXPECT_EQ(dangling.err, "fopen wFp: ../etc/hosts is a symbolic link that leads nowhere\n");
    EXPECT_EQ(describe(m.folder("etc")), "hosts -> real-hosts; ");
}

TEST(Program, ReportsAtTheEndThatStandardOutputCouldNotBeWritten) {
    Machine m;
    const std::string file = with_many_hosts(ten_entries_with_comments, 200 * 1024);
    write_file(m.hosts(), file);
    // A menu that fits the output buffer, and a listing that overflows it many times.
    for (std::string input : {"", "6\n7\n", "3\n3\n"}) {
        Session full = m.run_with(input, "> /dev/full");
        EXPECT_EQ(full.err, "stdout: No space left on device\n") << input;
        EXPECT_EQ(full.status, 1) << input;
        Session fine = m.run_with(input, "> /dev/null");
        EXPECT_EQ(fine.err, "") << input;
        EXPECT_EQ(fine.status, 0) << input;
    }
    EXPECT_EQ(read_file(m.hosts()), file);
    // A pipe whose reader is gone: SIGPIPE at its default ends the program at its first write,
    // without a report; ignored, the writes fail and the end reports it.
    for (const char* trap : {"", "trap '' PIPE; "}) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        close(ends[0]);
        m.as = trap;
        Session closed = m.run_with("3\n", ">&" + std::to_string(ends[1]));
        close(ends[1]);
        EXPECT_EQ(closed.err, *trap ? "stdout: Broken pipe\n" : "");
        EXPECT_EQ(closed.status, *trap ? 1 : 128 + SIGPIPE);
    }
}

TEST(Program, GivesTheTerminalBackItsLineModeAndEchoWhenKilledAtThePause) {
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "Ctrl-C" : "kill");
        Machine m;
        Terminal t(m.folder("work"));
        ASSERT_EQ(t.local_modes() & (ICANON | ECHO), tcflag_t{ICANON | ECHO});
        t.read_until("cmd:");
        t.type("6\n");
        ASSERT_NE(t.read_until(pause_prompt).find(pause_prompt), std::string::npos)
            << t.read_until("");
        // The pause takes the terminal out of line mode just after its prompt shows.
        auto deadline = std::chrono::steady_clock::now() + patience;
        while (t.local_modes() & ICANON && std::chrono::steady_clock::now() < deadline)
            usleep(1000);
        ASSERT_EQ(t.local_modes() & (ICANON | ECHO), tcflag_t{0});
        if (signal == SIGINT)
            t.type("\x03");
        else
            kill(t.pid(), signal);
        int status = t.wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
        EXPECT_EQ(t.local_modes() & (ICANON | ECHO), tcflag_t{ICANON | ECHO});
    }
}

TEST(Program, PrintsTheReportsOfAFailedReplaceInTheOrderItMadeThem) {
    Machine m;
    const std::string& file = large;
    write_file(m.hosts(), file);
    const std::string reports =
        at(0) + "fprintf err: File too large\n" + err_line("hosts_write", write_kept_failed);
    Session piped;
    {
        FileSizeLimit limit(file.size() / 2);
        piped = m.run_with("4\n127.0.0.1 localhost\n", "2>&1 | cat > '" + m.folder("stdout") + "'");
    }
    EXPECT_EQ(piped.out, screens({delete_prompt + reports}));
    Terminal t(m.folder("work"), file.size() / 2);
    t.read_until("cmd:");
    t.type("4\n");
    t.read_until(texts::delete_prompt);
    t.type("127.0.0.1 localhost\n");
    std::string shown = on_terminal("127.0.0.1 localhost\n" + reports) + pause_prompt;
    EXPECT_NE(t.read_until(shown).find(shown), std::string::npos) << t.read_until("");
    EXPECT_EQ(read_file(m.hosts()), file);
}

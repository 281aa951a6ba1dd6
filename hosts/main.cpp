// The console front end: the menu loop, the association commands, backup and restore.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "console.h"
#include "files.h"
#include "hosts.h"
#include "replacement.h"
#include "streams.h"
#include "texts.h"
#include "trust.h"
#include "turn.h"

// The hosts file the program keeps, and how many seconds a command waits for another instance
// that works on it: both fixed when it is built, by CMake's hosts_program(), which has the
// system's own hosts file and 30 seconds as defaults.
#ifndef HOSTS_PATH
#error "HOSTS_PATH undefined: build with CMake, whose hosts_program() defines it"
#endif
#ifndef HOSTS_LOCK_SECONDS
#error "HOSTS_LOCK_SECONDS undefined: build with CMake, whose hosts_program() defines it"
#endif

Table p;

namespace {

constexpr char backup_path[] = "hosts";

// The backup is this user's own, as private as the hosts file, whoever owned the one it
// replaces; a hosts file that restore makes anew is as private as the backup.
constexpr Placement backup_place = Placement::in_shared_folder(HOSTS_PATH);
constexpr Placement restore_place = Placement::through_links(backup_path);

// State of the menu loop, kept for the life of the process.
char cmd_s[10];
int cmd_d = 0;
int ret = 0;
int n = 0;
char buf[1024];
// The version of the hosts file that the table in `p` was loaded from: an append goes only to it.
FileStamp loaded_version;
// The error of the read that ended the input, if one failed rather than found its end.
int input_error = 0;

void menu() { std::fputs(texts::menu, stdout); }

// Whether the `size` bytes read into the zeroed `st` hold a NUL before their end; the end of a
// last line without a line end is its last byte that is not a NUL.
bool holds_nul(const char* st, std::size_t size) {
    std::size_t text = std::strlen(st);
    while (size > text && st[size - 1] == '\0') --size;
    return text < size;
}

// Reads one line into the `size` bytes at `st` without its line end, discarding what does not
// fit; null at the end of input. The buffer is cleared first, so a NUL typed inside the line
// cannot hide its line end; `*nul` says whether one was typed.
char* s_gets(char* st, int size, bool* nul = nullptr) {
    std::fflush(stdout);
    std::memset(st, 0, size);
    char* ret_val = std::fgets(st, size, stdin);
    if (!ret_val && std::ferror(stdin)) input_error = errno;
    if (!ret_val) return nullptr;
    char* line_end = static_cast<char*>(std::memchr(st, '\n', size - 1));
    if (nul) *nul = holds_nul(st, line_end ? line_end - st + 1 : size - 1);
    if (line_end) {
        *line_end = '\0';
        return ret_val;
    }
    int c;
    while ((c = std::getchar()) != '\n' && c != EOF) {
    }
    if (std::ferror(stdin)) input_error = errno;
    return ret_val;
}

// Prints the entry as "[address host text]" in one write: a million entries through printf would
// cost more than loading them.
void show_entry(const Config& entry) {
    char line[sizeof(Config) + 4] = "[";
    std::size_t ip_size = std::strlen(entry.ip), url_size = std::strlen(entry.url);
    char* end = static_cast<char*>(std::memcpy(line + 1, entry.ip, ip_size)) + ip_size;
    *end++ = ' ';
    end = static_cast<char*>(std::memcpy(end, entry.url, url_size)) + url_size;
    end = static_cast<char*>(std::memcpy(end, "]\n", 2)) + 2;
    std::fwrite(line, 1, end - line, stdout);
}

void show_hosts(int count) {
    for (int i = 0; i < count; ++i) show_entry(p[i]);
}

// Loads the table afresh into `p` and `n`: false after the load's reports.
bool load() {
    ret = hosts_read(&p, &n, HOSTS_PATH, &loaded_version);
    if (ret != 0) std::printf("hosts_read err: %d\n", ret);
    return ret == 0;
}

// This instance's turn at the hosts file: other instances of the program wait until it ends, so
// that none loads a file that another is about to change.
Turn hosts_turn() { return Turn(HOSTS_PATH, HOSTS_LOCK_SECONDS); }

// Whether the turn came: false after its report when another instance kept the file too long.
bool taken(const Turn& turn) {
    if (!turn.taken()) std::printf("hosts_lock err: %d\n", turn_timed_out);
    return turn.taken();
}

// Both passes of the load in one turn; the listing, from memory, after it.
void list_hosts() {
    bool loaded = false;
    {
        Turn turn = hosts_turn();
        loaded = taken(turn) && load();
    }
    if (loaded) show_hosts(n);
}

// A request that holds a NUL would be taken up to it: it is refused as one that cannot form an
// entry, before anything is loaded.
bool refused(bool nul) {
    if (nul) {
        std::printf(texts::write_malformed, buf);
        std::printf("hosts_write err: %d\n", write_malformed);
    }
    return nul;
}

// Commands 2 and 4; false when input ended at the prompt, before any request was read. The turn
// starts once the request is read, never while the user types, and lasts until the change is
// on the disk. Signals wait from the update on, until its result is said (main).
bool associate(Mode mode) {
    std::fputs(texts::format_hint, stdout);
    std::fputs(mode == add_mode ? texts::add_prompt : texts::delete_prompt, stdout);
    bool nul = false;
    if (!s_gets(buf, sizeof buf, &nul)) return false;
    if (refused(nul)) return true;
    Turn turn = hosts_turn();
    if (!taken(turn) || !load()) return true;
    hold_signals();
    ret = hosts_write(p.get(), n, buf, mode, HOSTS_PATH, &loaded_version);
    if (ret != 0) {
        std::printf("hosts_write err: %d\n", ret);
    } else {
        std::printf(mode == add_mode ? texts::added : texts::deleted, buf);
    }
    return true;
}

// Copies the whole source into the destination, byte for byte: false after a report.
bool copy_bytes(std::FILE* rFp, std::FILE* wFp) {
    int copied = copy_stream(rFp, wFp);
    if (copied != copy_ok) report(copied == copy_read_failed ? "fread rPath" : "fwrite wFp");
    return copied == copy_ok;
}

// Whether the open source is the destination, stamped `to` (null: none there).
bool one_file(std::FILE* rFp, const FileStamp* to) {
    FileStamp from;
    return to && stamp_of(rFp, &from) && same_file(from, *to);
}

// Whether the working folder holds the hosts file under the backup's name: then the two are one
// file, whatever another program renamed over it since the backup's side was opened.
bool hosts_here() {
    const char* slash = std::strrchr(HOSTS_PATH, '/');
    FileStamp here, there;
    return std::strcmp(slash ? slash + 1 : HOSTS_PATH, backup_path) == 0 && stamp_at(".", &here) &&
           stamp_at(folder_of(HOSTS_PATH).c_str(), &there) && same_file(here, there);
}

// The source `rFp` of a copy from `rPath`, or null after a report: when it could not be opened,
// or when `why` says what makes it no source.
File source(File rFp, const char* rPath, const char* why) {
    if (why) {
        report_text("fopen rPath: %s is %s\n", rPath, why);
        return nullptr;
    }
    if (!rFp) report("fopen rPath");
    return rFp;
}

// Opens the backup as the source of a restore: only as a regular file in the working folder,
// never a FIFO, a device or a folder. The working folder may be one that every user writes: a
// backup that another user made or may still change would put their content into the hosts file.
File open_backup() {
    const char* why = nullptr;
    File rFp(open_same_mount(backup_path, "rb", &why));
    if (rFp) why = untrusted(rFp.get(), true);
    return source(std::move(rFp), backup_path, why);
}

// Opens the hosts file as the source of a backup, through its link, but only as a regular file.
File open_hosts() {
    File rFp = open_file(HOSTS_PATH, "rb");
    const char* why = rFp ? not_regular(rFp.get()) : nullptr;
    return source(std::move(rFp), HOSTS_PATH, why);
}

// Whether the backup's name in the working folder is free or a regular file, which `*there`
// then stamps as it was opened (`*named`). Another user may have planted a link there, which root
// would follow to any file on the system. Closed at once: Windows renames over no open file.
bool plain_destination(const char* wPath, FileStamp* there, bool* named) {
    const char* why = nullptr;
    File existing(open_same_mount(wPath, "rb", &why));
    if (why) report_text("fopen wFp: %s is %s\n", wPath, why);
    *named = existing && stamp_of(existing.get(), there);
    return why == nullptr;
}

// Whether the hosts file is a link that leads nowhere: a restore would replace the link by a
// regular file, or create a file wherever the link points; it refuses, after a report.
bool dangling(const char* wPath) {
    bool nowhere = dangling_link(wPath);
    if (nowhere) report_text("fopen wFp: %s is %s\n", wPath, "a symbolic link that leads nowhere");
    return nowhere;
}

// Replaces wPath by a whole copy of the source, or leaves it as it was: false after a report.
bool replaced(std::FILE* rFp, const char* wPath, const Placement& place) {
    Replacement wFp(wPath, place);
    if (!wFp.stream()) {
        report("fopen wFp");
        return false;
    }
    return copy_bytes(rFp, wFp.stream()) && wFp.commit() == Replaced::done;
}

// A copy: its source, its destination, its success text and where its new version goes.
struct Copy {
    const char* rPath;
    const char* wPath;
    const char* done;
    Placement place;
};
constexpr Copy backup_copy{HOSTS_PATH, backup_path, texts::backed_up, backup_place};
constexpr Copy restore_copy{backup_path, HOSTS_PATH, texts::restored, restore_place};

// Copies the open source over the destination, stamped `to` (null: none there), which keeps its
// old content unless the copy is whole; never when the two are one file. Signals wait from the
// new version on, until the command has said how it went (main).
void copy_file(std::FILE* rFp, const FileStamp* to, const Copy& copy) {
    // Replacing the destination would replace the source before it is read.
    if (one_file(rFp, to) || hosts_here()) {
        report_text("fopen wFp: %s and %s are the same file\n", copy.rPath, copy.wPath);
        return;
    }
    hold_signals();
    if (replaced(rFp, copy.wPath, copy.place)) std::fputs(copy.done, stdout);
}

// Names in the working folder are opened before the turn: a mount point planted there that never
// answers would hold the command, and with it every other instance waiting for its turn.
void myCopy() {
    // Any user may fill the working folder with names: swept outside the turn, they keep no
    // other instance waiting.
    remove_leftovers(backup_path, true);
    FileStamp there;
    bool named = false;
    if (!plain_destination(backup_path, &there, &named)) return;
    Turn turn = hosts_turn();
    File rFp = taken(turn) ? open_hosts() : nullptr;
    if (rFp) copy_file(rFp.get(), named ? &there : nullptr, backup_copy);
}

void restore() {
    File rFp = open_backup();
    if (!rFp) return;
    Turn turn = hosts_turn();
    if (!taken(turn) || dangling(HOSTS_PATH)) return;
    // The hosts file is replaced by name, through its links, in a folder only root may change.
    FileStamp there;
    bool named = stamp_at(HOSTS_PATH, &there);
    copy_file(rFp.get(), named ? &there : nullptr, restore_copy);
}

void usage() { std::fputs(texts::usage, stdout); }

// Runs one command; false when input ended inside it.
bool run(int cmd) {
    switch (cmd) {
    case 1: myCopy(); break;
    case 2: return associate(add_mode);
    case 3: list_hosts(); break;
    case 4: return associate(delete_mode);
    case 5: restore(); break;
    case 6: usage(); break;
    default: std::fputs(texts::no_such_item, stdout); break;
    }
    return true;
}

// Runs one command as run() does; a lack of memory anywhere ends the command, not the program,
// and what the command made is gone by then: its new file, its lock file.
bool run_whole(int cmd) {
    try {
        return run(cmd);
    } catch (const std::bad_alloc&) {
        report_text("no memory\n");
    } catch (const std::exception& e) {
        report_text("%s\n", e.what());
    }
    return true;
}

// Says once, at the end, that standard output lost text (a full disk, a broken pipe), which the
// menu's own flushes cannot stop to say: false after the report.
bool finish_output() {
    if (std::fflush(stdout) != 0) {
        report("stdout");
        return false;
    }
    if (std::ferror(stdout)) {
        report_text("stdout: some output could not be written\n");
        return false;
    }
    return true;
}

// The C++ runtime sets memory aside before main for the exceptions it throws when memory runs
// out; where it could not, the first such throw, even inside new (std::nothrow), would end the
// program. That memory, under 128 KiB, is missing only if this much cannot be had now.
bool enough_memory() {
    void* room = std::malloc(1 << 17);
    std::free(room);
    return room != nullptr;
}

// Gets the process ready for the menu: false after a report when it cannot be.
bool started() {
    if (!open_standard_descriptors()) {
        report("/dev/null");
        return false;
    }
    if (!enough_memory()) {
        report_text("no memory\n");
        return false;
    }
    // A file size limit then fails a write like a full disk, which is cut back and reported,
    // rather than kill the program half way through a line.
    ignore_file_size_signal();
    // Output is flushed before every read, so a large buffer costs nothing in interaction and
    // keeps the listing of a million entries fast.
    static char out[1 << 16];
    std::setvbuf(stdout, out, _IOFBF, sizeof out);
    return true;
}

// One pass of the menu loop: false once input ended, at the menu or inside a command.
bool pass() {
    menu();
    std::fputs("cmd:", stdout);
    if (!s_gets(cmd_s, sizeof cmd_s)) return false;
    cmd_d = static_cast<int>(std::strtol(cmd_s, nullptr, 10));
    bool more = run_whole(cmd_d);
    // The command has said how it went: a signal held while it changed a file acts now.
    std::fflush(stdout);
    release_signals();
    if (!more) return false;
    pause_console();
    clear_console();
    return true;
}

// The exit status once input ended: a read that failed, and output that was lost, are said.
int ended() {
    // Nothing more can be asked, so the loop ends on a line of its own.
    std::fputs("\n", stdout);
    bool read = input_error == 0;
    if (!read) {
        errno = input_error;
        report("stdin");
    }
    return finish_output() && read ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main() {
    if (!started()) return EXIT_FAILURE;
    while (pass()) {
    }
    return ended();
}

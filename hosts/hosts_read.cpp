// Line rules of the hosts file, and loading its entry lines into the table.
#include <cerrno>
#include <climits>
#include <cstring>

#include "hosts.h"
#include "platform.h"
#include "texts.h"

namespace {

constexpr WalkFailures load_failures{"hosts_read err", read_open_failed, texts::read_changed,
                                     read_changed};

// Fills `count` slots from the entry lines of `f`; a file whose entries no longer number `count`
// fails, so no slot is written past the end and none is handed out unfilled.
int fill_table(std::FILE* f, Config* table, int count) {
    EntryWalk walk(f, count, load_failures);
    while (char* line = walk.next()) {
        if (!walk.entry()) continue;
        int e = separate_str(line, table[walk.index()].ip, table[walk.index()].url);
        if (e != 0) {
            std::printf("separate_str err: %d\n", e);
            return e;
        }
    }
    return walk.end();
}

}  // namespace

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int format_string(char* str) {
    if (!str) return -1;
    for (std::size_t i = std::strlen(str); i > 0; --i) {
        if (!is_space(str[i - 1])) {
            str[i] = '\0';
            break;
        }
    }
    return 0;
}

int split_line(const char* src, char* ip, char* url) {
    const char* space = std::strchr(src, ' ');
    if (!space) return -2;
    std::size_t ip_size = space - src;
    std::size_t url_size = std::strlen(space + 1);
    // Refuse rather than cut: a cut entry would be written back cut by the next rewrite.
    if (ip_size >= sizeof(Config::ip) || url_size >= sizeof(Config::url)) return -3;
    std::memcpy(ip, src, ip_size);
    ip[ip_size] = '\0';
    std::memcpy(url, space + 1, url_size + 1);
    return 0;
}

int separate_str(const char* src, char* buf1, char* buf2) {
    if (!src || !buf1 || !buf2) return -1;
    int ret = split_line(src, buf1, buf2);
    if (ret != 0) std::printf(ret == -2 ? "space_loc:%s\n" : "part_len:%s\n", src);
    return ret;
}

bool is_entry_line(const char* line) { return line[0] != '#' && !is_space(line[0]); }

void put_entry(std::FILE* f, const Config& entry, const char* open, const char* close) {
    // One write a line: a million entries through printf would cost more than loading them.
    char line[sizeof(Config) + 8];
    std::size_t open_size = std::strlen(open), ip_size = std::strlen(entry.ip);
    std::size_t url_size = std::strlen(entry.url), close_size = std::strlen(close);
    char* end = line;
    end = static_cast<char*>(std::memcpy(end, open, open_size)) + open_size;
    end = static_cast<char*>(std::memcpy(end, entry.ip, ip_size)) + ip_size;
    *end++ = ' ';
    end = static_cast<char*>(std::memcpy(end, entry.url, url_size)) + url_size;
    end = static_cast<char*>(std::memcpy(end, close, close_size)) + close_size;
    std::fwrite(line, 1, end - line, f);
}

void TableFree::operator()(Config* slots) const { table_free(slots, count * sizeof(Config)); }

// Trimming never changes whether a line is an entry line, so the walk tests the line as read.
char* EntryWalk::next() {
    char* line = reader_.next();
    entry_ = line && is_entry_line(line);
    if (!entry_) return line;
    if (++index_ == count_) {
        overflow_ = true;
        return nullptr;
    }
    format_string(line);
    return line;
}

int EntryWalk::changed() const {
    std::fputs(fail_.changed_text, stdout);
    return fail_.changed_code;
}

int EntryWalk::end() const {
    if (reader_.failed()) {
        report(fail_.read_tag);
        return fail_.read_code;
    }
    return overflow_ || index_ + 1 != count_ ? changed() : 0;
}

int line_n(const char* path) {
    File f = open_file(path, "r+b");
    if (!f) return fail("hosts_read err", -1);
    LineReader reader(f.get());
    int count = 0;
    bool overflow = false;
    while (const char* line = reader.next()) {
        if (!is_entry_line(line)) continue;
        overflow = count == INT_MAX;
        if (overflow) break;
        ++count;
    }
    if (overflow) errno = EOVERFLOW;
    if (overflow || reader.failed()) return fail("hosts_read err", -1);
    return count;
}

int load_entries(std::FILE* f, int count, Table* q) {
    // Uninitialised: every slot is filled before the table is handed out, and zeroing 350 bytes
    // a slot first would only double the cost of a million entries.
    std::size_t slots = static_cast<std::size_t>(count);
    Table table(static_cast<Config*>(table_alloc(slots * sizeof(Config))), TableFree{slots});
    if (!table) return fail("build p err", read_no_memory);
    int ret = fill_table(f, table.get(), count);
    if (ret == 0) *q = std::move(table);
    return ret;
}

int hosts_read(Table* q, int* number, const char* path) {
    // Binary: a text stream on Windows would end the file at a stray Ctrl-Z byte, and a rewrite
    // would then drop every line after it. Trimming takes a CR before the LF off a line.
    File f = open_file(path, "r+b");
    if (!f) return fail("hosts_read fopen err", read_open_failed);
    int count = line_n(path);
    if (count < 0) return read_count_failed;
    int ret = load_entries(f.get(), count, q);
    if (ret == 0) *number = count;
    return ret;
}

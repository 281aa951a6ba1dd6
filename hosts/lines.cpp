// Splitting and writing entry lines, walking a file in step with a table, and filling a table.
#include "lines.h"

#include <cstring>
#include <utility>

#include "platform.h"
#include "texts.h"

namespace {

constexpr WalkFailures load_failures{"hosts_read err", read_open_failed, texts::read_changed,
                                     read_changed};

// The load's code for a line that separate_str refused: its arguments are never null here, so a
// line lacks its space or has a part too long.
int load_code(int split) { return split == line_no_space ? read_unsplittable : read_part_too_long; }

// Fills `count` slots from the entry lines of `f`; a file whose entries no longer number `count`
// fails, so no slot is written past the end and none is handed out unfilled.
int fill_table(std::FILE* f, Config* table, int count) {
    EntryWalk walk(f, count, load_failures);
    while (char* line = walk.next()) {
        if (!walk.entry()) continue;
        int split = separate_str(line, table[walk.index()].ip, table[walk.index()].url);
        if (split != line_ok) {
            std::printf("separate_str err: %d\n", split);
            return load_code(split);
        }
    }
    return walk.end();
}

}  // namespace

int split_line(const char* src, char* ip, char* url) {
    const char* space = std::strchr(src, ' ');
    if (!space) return line_no_space;
    std::size_t ip_size = space - src;
    std::size_t url_size = std::strlen(space + 1);
    // Refuse rather than cut: a cut entry would be written back cut by the next rewrite.
    if (ip_size >= sizeof(Config::ip) || url_size >= sizeof(Config::url)) return line_part_too_long;
    std::memcpy(ip, src, ip_size);
    ip[ip_size] = '\0';
    std::memcpy(url, space + 1, url_size + 1);
    return line_ok;
}

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

int load_entries(std::FILE* f, int count, Table* q) {
    // Uninitialised: every slot is filled before the table is handed out, and zeroing 350 bytes
    // a slot first would only double the cost of a million entries.
    std::size_t slots = static_cast<std::size_t>(count);
    Table table(static_cast<Config*>(table_alloc(slots * sizeof(Config))), TableFree{slots});
    if (!table) return fail("build p err", read_no_memory);
    int ret = fill_table(f, table.get(), count);
    if (ret == read_ok) *q = std::move(table);
    return ret;
}

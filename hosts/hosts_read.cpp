// The line rules of the hosts file, and loading its entry lines into the table.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "files.h"
#include "hosts.h"
#include "lines.h"
#include "streams.h"
#include "table_memory.h"
#include "texts.h"

namespace {

// Only a space or a tab separates, as resolvers read the file: a VT, FF or CR belongs to a part.
bool separates(char c) { return c == ' ' || c == '\t'; }

// Where the first space or tab of the `size` bytes at `src` stands: `size` when there is none. The
// library's scans, one for each, cost a million entries less than a loop that tests both.
std::size_t first_blank(const char* src, std::size_t size) {
    const void* space = std::memchr(src, ' ', size);
    std::size_t before = space ? static_cast<const char*>(space) - src : size;
    const void* tab = std::memchr(src, '\t', before);
    return tab ? static_cast<const char*>(tab) - src : before;
}

// The load's code for a line that separate_str refused: its arguments are never null here, so a
// line lacks its space or has a part too long.
int load_code(int split) { return split == line_no_space ? read_unsplittable : read_part_too_long; }

// The load's code for how its walk ended, after the report of a failed one.
int loaded(Walked walked) {
    if (walked == Walked::read_failed) return fail("hosts_read err", read_open_failed);
    if (walked == Walked::changed) std::fputs(texts::read_changed, stdout);
    return walked == Walked::whole ? read_ok : read_changed;
}

// Fills `count` slots from the entry lines of `f`; a file whose entries no longer number `count`
// fails, so no slot is written past the end and none is handed out unfilled.
int fill_table(std::FILE* f, Config* table, int count) {
    EntryWalk walk(f, count);
    while (char* line = walk.next()) {
        if (!walk.entry()) continue;
        format_string(line);
        int split = separate_str(line, table[walk.index()].ip, table[walk.index()].url);
        if (split != line_ok) {
            std::printf("separate_str err: %d\n", split);
            return load_code(split);
        }
    }
    return loaded(walk.end());
}

}  // namespace

// A string of white space alone keeps it: a blank line keeps its line end.
std::size_t trimmed_size(const char* str) {
    std::size_t size = std::strlen(str);
    for (std::size_t i = size; i > 0; --i) {
        if (!is_space(str[i - 1])) return i;
    }
    return size;
}

int format_string(char* str) {
    if (!str) return line_null;
    str[trimmed_size(str)] = '\0';
    return line_ok;
}

bool find_parts(const char* src, std::size_t size, LineParts* parts) {
    std::size_t at = first_blank(src, size);
    if (at == size) return false;
    parts->ip_size = at;
    while (at < size && separates(src[at])) ++at;
    parts->url_at = at;
    return true;
}

int split_line(const char* src, char* ip, char* url) {
    std::size_t size = std::strlen(src);
    LineParts parts;
    if (!find_parts(src, size, &parts)) return line_no_space;
    std::size_t url_size = size - parts.url_at;
    // Refuse rather than cut: a cut entry would be written back cut by the next rewrite.
    if (parts.ip_size >= sizeof(Config::ip) || url_size >= sizeof(Config::url))
        return line_part_too_long;
    std::memcpy(ip, src, parts.ip_size);
    ip[parts.ip_size] = '\0';
    std::memcpy(url, src + parts.url_at, url_size + 1);
    return line_ok;
}

// A null argument gives line_null; a line without a space or tab line_no_space, printed as
// "space_loc:%s\n"; a part too long line_part_too_long, printed as "part_len:%s\n".
int separate_str(const char* src, char* buf1, char* buf2) {
    if (!src || !buf1 || !buf2) return line_null;
    int ret = split_line(src, buf1, buf2);
    if (ret != line_ok) std::printf(ret == line_no_space ? "space_loc:%s\n" : "part_len:%s\n", src);
    return ret;
}

void TableFree::operator()(Config* slots) const { table_free(slots, count * sizeof(Config)); }

int line_n(const char* path) {
    File f = open_file(path, "r+b");
    if (!f) return fail("hosts_read err", count_failed);
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
    if (overflow || reader.failed()) return fail("hosts_read err", count_failed);
    return count;
}

// `*q` is written only on success.
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

int hosts_read(Table* q, int* number, const char* path) {
    return hosts_read(q, number, path, nullptr);
}

// The stamp is the version as it stood before a byte of it was read; a file that cannot be
// stamped gives read_open_failed.
int hosts_read(Table* q, int* number, const char* path, FileStamp* loaded) {
    // Binary: a text stream on Windows would end the file at a stray Ctrl-Z byte, and a rewrite
    // would then drop every line after it. Trimming takes a CR before the LF off a line.
    File f = open_file(path, "r+b");
    if (!f) return fail("hosts_read fopen err", read_open_failed);
    // Stamped before it is read: a change made while it is read then shows as another version.
    FileStamp stamp;
    if (loaded && !stamp_of(f.get(), &stamp)) return fail("hosts_read err", read_open_failed);
    int count = line_n(path);
    if (count < 0) return read_count_failed;
    int ret = load_entries(f.get(), count, q);
    if (ret != read_ok) return ret;
    *number = count;
    if (loaded) *loaded = stamp;
    return read_ok;
}

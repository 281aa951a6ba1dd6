// Changing the hosts file: appending a request, or rewriting it without one entry.
#include <cstring>

#include "hosts.h"
#include "texts.h"

namespace {

bool is_blank(const char* s) { return s[std::strspn(s, " \t\n\v\f\r")] == '\0'; }

// A request that cannot form an entry is refused before the file is touched: one that a load
// would skip (a comment, an indented line) would be reported as written and never be listed.
bool well_formed(const char* buf) {
    const char* space = std::strchr(buf, ' ');
    if (is_entry_line(buf) && space && space - buf < static_cast<long>(sizeof(Config::ip)) &&
        std::strlen(space + 1) < sizeof(Config::url) && !is_blank(space + 1)) {
        return true;
    }
    std::printf(texts::write_malformed, buf);
    return false;
}

int find_entry(const Config* q, int n, const char* url) {
    for (int i = 0; i < n; ++i) {
        if (std::strcmp(q[i].url, url) == 0) return i;
    }
    return -1;
}

// The size of the file, whether its lines end with a line end (or there are none), read in
// binary so that a carriage return is not taken for one, and whether an end-of-file byte
// follows them.
struct Tail {
    long long size = -1;
    bool line_end = true;
    bool end_of_file_byte = false;
};

Tail read_tail(const char* path) {
    Tail tail;
    File f = open_file(path, "rb");
    if (!f || std::fseek(f.get(), 0, SEEK_END) != 0) return tail;
    tail.size = std::ftell(f.get());
    char last[2] = {'\n', '\n'};
    long take = tail.size < 2 ? static_cast<long>(tail.size) : 2;
    if (take > 0 && std::fseek(f.get(), -take, SEEK_END) == 0 &&
        std::fread(last + 2 - take, 1, take, f.get()) == static_cast<std::size_t>(take)) {
        tail.end_of_file_byte = last[1] == end_of_file_byte;
        tail.line_end = last[tail.end_of_file_byte ? 0 : 1] == '\n';
    }
    return tail;
}

// Copies the lines of `from` to `to` as they stand: 0, or -1 when `from` cannot be read.
int copy_lines(std::FILE* from, std::FILE* to, bool* end_byte) {
    LineReader reader(from);
    char* line = reader.next();
    if (reader.had_bom()) std::fputs(byte_order_mark, to);
    for (; line; line = reader.next()) std::fwrite(line, 1, reader.size(), to);
    *end_byte = reader.had_end_of_file_byte();
    return reader.failed() ? -1 : 0;
}

// Puts `text` after the file's lines but before the end-of-file byte that ends it, so that the
// byte stays last: a copy with the text in place replaces the file whole. 0, or `code` (-10
// when the copy cannot be put in place) after a report.
int insert_before_end_byte(File& f, const std::string& text, const char* path, int code) {
    f.reset();  // Windows cannot replace a file that is still open
    Replacement next(path, true);
    File old = next.stream() ? open_file(path, "rb") : nullptr;
    if (!old) {
        report("hosts_write fopen err");
        return code;
    }
    bool end_byte = false;
    if (copy_lines(old.get(), next.stream(), &end_byte) != 0) {
        report("hosts_write read err");
        return code;
    }
    old.reset();
    std::fputs(text.c_str(), next.stream());
    if (end_byte) std::fputc(end_of_file_byte, next.stream());
    if (std::fflush(next.stream()) != 0 || std::ferror(next.stream())) {
        report("fprintf err");
        return code;
    }
    return next.commit() == 0 ? 0 : -10;
}

// Reports a failed append and cuts the file back to `size`, so it leaves no half line behind.
// The stream is closed first: closing it may write what it still holds.
int undo_append(File& f, const char* path, long long size, int code) {
    report("fprintf err");
    f.reset();
    if (size >= 0 && truncate_file(path, size) != 0) report("truncate err");
    return code;
}

// Writes `text` at the end of the stream and through to the disk: 0, or `code` after undoing it.
int append(File& f, const char* text, const char* path, long long size, int code) {
    if (std::fputs(text, f.get()) != EOF && std::fflush(f.get()) == 0 && sync_file(f.get()) == 0) {
        return 0;
    }
    return undo_append(f, path, size, code);
}

// Appends the request as a line of its own.
int append_request(File& f, const char* buf, const char* path, const Tail& tail) {
    std::string line = tail.line_end ? "" : own_line_end;
    line.append(buf).append(own_line_end);
    if (tail.end_of_file_byte) return insert_before_end_byte(f, line, path, -2);
    int ret = append(f, line.c_str(), path, tail.size, -2);
    if (ret == 0 && close_file(f) != 0) return undo_append(f, path, tail.size, -2);
    return ret;
}

// Another program changed the entries since the load: its change is not overwritten.
int changed_since_load() {
    std::fputs(texts::write_changed, stdout);
    return -9;
}

// Whether a line, trimmed here, still splits into the table entry's two parts.
bool same_entry(char* line, const Config& entry) {
    format_string(line);
    std::size_t ip_size = std::strlen(entry.ip);
    return std::strncmp(line, entry.ip, ip_size) == 0 && line[ip_size] == ' ' &&
           std::strcmp(line + ip_size + 1, entry.url) == 0;
}

// Where the new file stands while it is written.
struct Written {
    bool any = false;               // whether anything is written yet
    bool line_end = true;           // whether it ends a line (or is empty)
    bool end_of_file_byte = false;  // whether the old file ended with one, which stays last
};

// Text that opens the new file with the bytes of a byte-order mark would lose them to the next
// load, which takes them for the file's mark; a mark of its own in front keeps them.
void guard_leading_mark(std::FILE* to, const char* text, Written* out) {
    if (!out->any && std::strncmp(text, byte_order_mark, byte_order_mark_size) == 0) {
        std::fputs(byte_order_mark, to);
    }
    out->any = true;
}

// Streams the old file into the new one: lines that are not entries as they stand, entries from
// the table, but for the one at `loc`.
int copy_without(std::FILE* from, std::FILE* to, const Config* q, int n, int loc, Written* out) {
    LineReader reader(from);
    int i = 0;
    char* line = reader.next();
    if (reader.had_bom()) std::fputs(byte_order_mark, to);
    out->any = reader.had_bom();
    for (; line; line = reader.next()) {
        if (!is_entry_line(line)) {
            std::fwrite(line, 1, reader.size(), to);
            out->any = true;
            out->line_end = line[reader.size() - 1] == '\n';
            continue;
        }
        if (i == n || !same_entry(line, q[i])) return changed_since_load();
        if (i != loc) {
            guard_leading_mark(to, q[i].ip, out);
            put_entry(to, q[i], "", own_line_end);
            out->line_end = true;
        }
        ++i;
    }
    if (reader.failed()) {
        report("hosts_write read err");
        return -3;
    }
    out->end_of_file_byte = reader.had_end_of_file_byte();
    return i == n ? 0 : changed_since_load();
}

// Copies the current file, read afresh for the lines the table does not hold, into `to`.
int copy_old(const char* path, std::FILE* to, const Config* q, int n, int loc, Written* out) {
    File old = open_file(path, "rb");
    if (!old) {
        report("hosts_write fopen err");
        return -3;
    }
    int ret = copy_without(old.get(), to, q, n, loc, out);
    if (ret == 0 && (std::fflush(to) != 0 || std::ferror(to))) {
        report("fprintf err");
        return -5;
    }
    return ret;
}

// Writes the new content to a file beside the old one and replaces the old one only when all of
// it is written, so a failure at any step leaves the hosts file whole.
int rewrite(const Config* q, int n, int loc, const char* buf, int mode, const char* path) {
    Replacement next(path, true);
    if (!next.stream()) {
        report("hosts_write fopen err");
        return -3;
    }
    Written out;
    int ret = copy_old(path, next.stream(), q, n, loc, &out);
    if (ret != 0) return ret;
    if (mode == 0) {
        guard_leading_mark(next.stream(), buf, &out);
        if (std::fprintf(next.stream(), "%s%s%s", out.line_end ? "" : own_line_end, buf,
                         own_line_end) < 0 ||
            std::fflush(next.stream()) != 0) {
            report("fprintf err");
            return -6;
        }
    }
    if (out.end_of_file_byte &&
        (std::fputc(end_of_file_byte, next.stream()) == EOF || std::fflush(next.stream()) != 0)) {
        report("fprintf err");
        return mode == 0 ? -6 : -5;
    }
    return next.commit() == 0 ? 0 : -10;
}

}  // namespace

int hosts_write(const Config* q, int n, const char* buf, int mode, const char* path) {
    if (!buf || !well_formed(buf)) return -4;
    Tail tail = read_tail(path);
    // Appending would create a file that another program removed since the load.
    File f = tail.size < 0 ? nullptr : open_file(path, "ab");
    if (!f) {
        report("hosts_write fopen err");
        return -1;
    }
    char ip[sizeof(Config::ip)];
    char url[sizeof(Config::url)];
    separate_str(buf, ip, url);
    int loc = n > 0 ? find_entry(q, n, url) : -1;
    // An empty table gets a line end before anything else; an add writes it with the request,
    // in one piece, so the file never holds the one without the other.
    if (n <= 0 && mode == 0) tail.line_end = false;
    if (n <= 0 && mode != 0) {
        int ret = tail.end_of_file_byte ? insert_before_end_byte(f, own_line_end, path, -8)
                                        : append(f, own_line_end, path, tail.size, -8);
        if (ret != 0) return ret;
    }
    if (loc < 0 && mode != 0) {
        std::printf(texts::write_missing, buf);
        return -7;
    }
    if (loc < 0) return append_request(f, buf, path, tail);
    std::printf("hosts_write:loc = %d\n", loc);
    f.reset();
    return rewrite(q, n, loc, buf, mode, path);
}

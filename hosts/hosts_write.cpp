// Changing the hosts file: appending a request, or rewriting it without one entry.
#include <cerrno>
#include <cstring>
#include <string>

#include "files.h"
#include "hosts.h"
#include "lines.h"
#include "replacement.h"
#include "streams.h"
#include "texts.h"

namespace {

// One update: the table it goes by, the request and what to do with it, the file, and the
// version of that file the table was loaded from (when given).
struct Update {
    const Config* q;
    int n;
    const char* buf;
    Mode mode;
    const char* path;
    const FileStamp* loaded;
};

bool is_blank(const char* s) {
    while (is_space(*s)) ++s;
    return *s == '\0';
}

// Splits a request that can form an entry into `ip` and `url`; any other is refused before the
// file is touched: one that a load would skip (a comment, an indented line) would be reported
// as written and never be listed.
bool well_formed(const char* buf, char* ip, char* url) {
    if (is_entry_line(buf) && split_line(buf, ip, url) == line_ok && !is_blank(url)) return true;
    std::printf(texts::write_malformed, buf);
    return false;
}

int find_entry(const Config* q, int n, const char* url) {
    for (int i = 0; i < n; ++i) {
        if (std::strcmp(q[i].url, url) == 0) return i;
    }
    return -1;
}

// Reports that another program changed or replaced the file, whose change stays: write_changed.
WriteResult changed_by_another() {
    std::fputs(texts::write_changed, stdout);
    return write_changed;
}

// The file as the append found it, through the stream it appends with: its version, whether its
// lines end with a line end (or there are none), read in binary so that a carriage return is not
// taken for one, and whether an end-of-file byte follows them.
struct Tail {
    FileStamp stamp;
    bool line_end = true;
    bool end_of_file_byte = false;
};

// Stamps the stream's file and reads its last two bytes, leaving the stream at its end: write_ok;
// write_changed when the file shrank meanwhile; write_open_failed after a report.
int read_tail(std::FILE* f, Tail* tail) {
    if (!stamp_of(f, &tail->stamp)) return fail("stat err", write_open_failed);
    char last[2];
    long take = tail->stamp.size < 2 ? static_cast<long>(tail->stamp.size) : 2;
    std::size_t got =
        take > 0 && std::fseek(f, -take, SEEK_END) == 0 ? std::fread(last, 1, take, f) : 0;
    if (got != static_cast<std::size_t>(take) && !std::ferror(f)) return changed_by_another();
    if (got != static_cast<std::size_t>(take) || std::fseek(f, 0, SEEK_END) != 0)
        return fail("hosts_write read err", write_open_failed);
    tail->end_of_file_byte = got > 0 && last[got - 1] == end_of_file_byte;
    tail->line_end = ends_line(last, got - (tail->end_of_file_byte ? 1 : 0));
    return write_ok;
}

// Puts the new version in place unless another program changed the file since it was read, as
// `read` stamps it: 0; write_changed or write_replace_failed after a report.
int put_in_place(Replacement& next, const FileStamp& read) {
    Replaced ret = next.commit(&read);
    if (ret == Replaced::changed) return changed_by_another();
    return ret == Replaced::done ? write_ok : write_replace_failed;
}

// Opens the file to read it afresh, and stamps the version that is read.
File open_stamped(const char* path, FileStamp* read) {
    File f = open_file(path, "rb");
    if (f && !stamp_of(f.get(), read)) f.reset();
    return f;
}

// One append to the file that `f` holds open: its text, which goes where the tail found the file's
// end, the code its failure gives, and a second stream for the same file, which syncs it and cuts
// it back.
struct Append {
    File& f;
    const char* path;
    Tail tail;
    std::string text;
    int code;
    File spare;
    /// Where the append's own bytes begin.
    long long begin() const { return static_cast<long long>(tail.stamp.size); }
};

// Puts the text after the file's lines but before the end-of-file byte that ends it, so that the
// byte stays last: a copy with the text in place replaces the file whole, if it is still the
// version the tail stamps. 0, or the append's code (write_replace_failed or write_changed when
// the copy cannot be put in place) after a report.
int insert_before_end_byte(Append& a) {
    a.f.reset();  // Windows cannot replace a file that is still open
    Replacement next(a.path);
    std::FILE* to = next.stream();
    FileStamp read;
    File old = to ? open_stamped(a.path, &read) : nullptr;
    if (!old) return fail("hosts_write fopen err", a.code);
    if (!same_version(read, a.tail.stamp)) return changed_by_another();
    CopyResult copied = copy_stream(old.get(), to);
    if (copied != copy_ok)
        return fail(copied == copy_read_failed ? "hosts_write read err" : "fprintf err", a.code);
    old.reset();
    // The copy ends with the end-of-file byte, unless another program changed the file: the text
    // takes the byte's place, and the byte follows it.
    bool end_byte = std::fseek(to, -1, SEEK_END) == 0 && std::fgetc(to) == end_of_file_byte;
    std::fseek(to, end_byte ? -1 : 0, SEEK_END);
    std::fputs(a.text.c_str(), to);
    if (end_byte) std::fputc(end_of_file_byte, to);
    if (!flush_file(to, false)) return fail("fprintf err", a.code);
    return put_in_place(next, read);
}

// What follows `begin` in a file that an append failed to write: only a start of its text, other
// bytes (or fewer than were there), or what cannot be read.
enum class After { ours, others, unknown };

// Whether the bytes of the stream's file from `begin` on are a start of `text`, as what a failed
// write of it left: ours; others when there are others, or fewer; unknown (errno set) when that
// cannot be read.
After only_ours(std::FILE* f, long long begin, const std::string& text) {
    FileStamp now;
    if (!stamp_of(f, &now)) return After::unknown;
    unsigned long long end = now.size;
    if (end < static_cast<unsigned long long>(begin) || end - begin > text.size())
        return After::others;
    std::string after(end - begin, '\0');
    std::clearerr(f);
    if (!after.empty() && (std::fseek(f, -static_cast<long>(after.size()), SEEK_END) != 0 ||
                           std::fread(&after[0], 1, after.size(), f) != after.size()))
        return std::ferror(f) ? After::unknown : After::others;
    return text.compare(0, after.size(), after) == 0 ? After::ours : After::others;
}

// Cuts the stream's file back to `begin`, where the append's own bytes start, but only while
// nothing else follows them: another program's bytes after them, or a file changed under them,
// stay, and the report says from where the file could not be cut.
void cut_back(std::FILE* f, long long begin, const std::string& text) {
    After after = only_ours(f, begin, text);
    if (after == After::unknown ||
        (after == After::ours && (!resize_file(f, begin) || !sync_file(f)))) {
        report("truncate err");
    } else if (after == After::others) {
        report_text("truncate err: another program changed the file: not cut back to %lld bytes\n",
                    begin);
    }
}

// Reports the failed call `tag` of an append and cuts its own bytes back through its spare
// stream: its code. The report waits for the cut (append_to holds it), and a failed cut's report
// follows it.
int undo_append(Append& a, const char* tag) {
    report(tag);
    cut_back(a.spare.get(), a.begin(), a.text);
    return a.code;
}

// Appends the text at the end of the stream's file and syncs it: 0, or the append's code after
// undoing it (write_open_failed, nothing written, when no spare stream can be had). The stream is
// unbuffered, so that a failed write leaves nothing in it that a later call could still write
// after the cut; it may only append, so the sync and any cut go through the spare stream, opened
// first.
int append(Append& a) {
    a.spare.reset(another_stream(a.f.get()));
    if (!a.spare) return fail("hosts_write fopen err", write_open_failed);
    if (std::fputs(a.text.c_str(), a.f.get()) != EOF && flush_file(a.f.get(), false) &&
        sync_file(a.spare.get()))
        return write_ok;
    return undo_append(a, "fprintf err");
}

// Whether a stream still writes to the file at its path, or another took the name, or who knows.
enum class Still { there, replaced, unknown };

// Whether the stream still writes to the file at `path`: there; replaced when another program
// renamed a new file over it, or removed it, since it was opened (what was written then went into
// the file it replaced); unknown (errno set) when that cannot be told.
Still still_at(std::FILE* f, const char* path) {
    FileStamp written, now;
    if (!stamp_of(f, &written)) return Still::unknown;
    if (!stamp_at(path, &now)) return errno == ENOENT ? Still::replaced : Still::unknown;
    return same_file(written, now) ? Still::there : Still::replaced;
}

// Closes the stream of a whole append: 0, or the append's code with its bytes cut back when the
// close failed.
int close_append(Append& a) {
    if (!close_file(a.f)) return undo_append(a, "fprintf err");
    return write_ok;
}

// Appends the request's line, unless another program renamed a new file over the one it went to.
int append_request(Append& a) {
    if (a.tail.end_of_file_byte) return insert_before_end_byte(a);
    int ret = append(a);
    if (ret != 0) return ret;
    Still at = still_at(a.f.get(), a.path);
    if (at == Still::unknown) return undo_append(a, "stat err");
    if (at == Still::replaced) return changed_by_another();
    return close_append(a);
}

// Whether the `size` bytes at `text` are the field's text.
bool holds(const char* text, std::size_t size, const char* field) {
    return std::strncmp(text, field, size) == 0 && field[size] == '\0';
}

// Whether a line as read, trimmed and split as the load did, still gives the entry's two parts.
bool same_entry(const char* line, const Config& entry) {
    std::size_t size = trimmed_size(line);
    LineParts parts;
    return find_parts(line, size, &parts) && holds(line, parts.ip_size, entry.ip) &&
           holds(line + parts.url_at, size - parts.url_at, entry.url);
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

// One rewrite: the update it makes, the entry it leaves out, the new version, where the new
// version stands, and the version of the old file it copies.
struct Rewrite {
    const Update& u;
    int loc;
    Replacement next;
    Written out;
    FileStamp read;
};

// The rewrite's code for how its walk of the old file ended, after the report of a failed one.
int copied(Walked walked) {
    if (walked == Walked::read_failed) return fail("hosts_write read err", write_reread_failed);
    return walked == Walked::changed ? changed_by_another() : write_ok;
}

// Streams the old file into the new version, every line byte for byte but the entry left out: an
// entry line keeps its separators, trailing blanks and line end.
int copy_without(std::FILE* from, Rewrite& r) {
    EntryWalk walk(from, r.u.n);
    std::FILE* to = r.next.stream();
    char* line = walk.next();
    if (walk.reader().had_bom()) std::fputs(byte_order_mark, to);
    r.out.any = walk.reader().had_bom();
    for (; line; line = walk.next()) {
        if (walk.entry()) {
            if (!same_entry(line, r.u.q[walk.index()])) return changed_by_another();
            if (walk.index() == r.loc) continue;
            guard_leading_mark(to, line, &r.out);
        }
        std::size_t size = walk.reader().size();
        std::fwrite(line, 1, size, to);
        r.out.any = true;
        r.out.line_end = ends_line(line, size);
    }
    r.out.end_of_file_byte = walk.reader().had_end_of_file_byte();
    return copied(walk.end());
}

// Copies the current file, read afresh for the lines the table does not hold, into the new
// version, and stamps the version it read.
int copy_old(Rewrite& r) {
    File old = open_stamped(r.u.path, &r.read);
    if (!old) return fail("hosts_write fopen err", write_reread_failed);
    int ret = copy_without(old.get(), r);
    if (ret == write_ok && !flush_file(r.next.stream(), false))
        return fail("fprintf err", write_kept_failed);
    return ret;
}

// Writes the request at the end of the new version, on a line of its own.
int add_request(Rewrite& r) {
    std::FILE* to = r.next.stream();
    guard_leading_mark(to, r.u.buf, &r.out);
    const char* before = r.out.line_end ? "" : own_line_end;
    if (std::fprintf(to, "%s%s%s", before, r.u.buf, own_line_end) < 0 || !flush_file(to, false))
        return fail("fprintf err", write_request_failed);
    return write_ok;
}

// Writes the new content to a file beside the old one and replaces the old one only when all of
// it is written, so a failure at any step leaves the hosts file whole.
int rewrite(const Update& u, int loc) {
    Rewrite r{u, loc, Replacement(u.path), {}, {}};
    std::FILE* to = r.next.stream();
    if (!to) return fail("hosts_write fopen err", write_reread_failed);
    int ret = copy_old(r);
    if (ret == write_ok && u.mode == add_mode) ret = add_request(r);
    if (ret != 0) return ret;
    if (r.out.end_of_file_byte &&
        (std::fputc(end_of_file_byte, to) == EOF || !flush_file(to, false))) {
        report("fprintf err");
        return u.mode == add_mode ? write_request_failed : write_kept_failed;
    }
    return put_in_place(r.next, r.read);
}

// A delete whose host no entry has: write_missing, after its report.
WriteResult missing(const char* buf) {
    std::printf(texts::write_missing, buf);
    return write_missing;
}

// Appends the line end that a delete in a file without entries writes.
int append_line_end(Append& a) {
    if (a.tail.end_of_file_byte) return insert_before_end_byte(a);
    int ret = append(a);
    return ret != 0 ? ret : close_append(a);
}

// The line an add appends: the request on a line of its own, after a line end of its own where
// the file has no entries or its last line has none.
std::string request_line(const Update& u, const Tail& tail) {
    std::string line = u.n <= 0 || !tail.line_end ? own_line_end : "";
    return line.append(u.buf).append(own_line_end);
}

// Appends to the file that `f` holds open, if it is still the version the table was loaded from
// (when given): the request of an add, or the line end that a delete in a file without entries
// writes before it reports the host missing. From the first byte on, reports wait until the file
// is whole or cut back: a report to a pipe that is not read would hold the cut.
int append_to(const Update& u, File& f) {
    Tail tail;
    int ret = read_tail(f.get(), &tail);
    if (ret != 0) return ret;
    if (u.loaded && !same_version(*u.loaded, tail.stamp)) return changed_by_another();
    bool add = u.mode == add_mode;
    std::string text = add ? request_line(u, tail) : own_line_end;
    Append a{f, u.path, tail, text, add ? write_append_failed : write_line_end_failed, nullptr};
    hold_reports();
    ret = add ? append_request(a) : append_line_end(a);
    reports_due();
    return ret != 0 || add ? ret : missing(u.buf);
}

}  // namespace

int hosts_write(const Config* q, int n, const char* buf, Mode mode, const char* path) {
    return hosts_write(q, n, buf, mode, path, nullptr);
}

// Appends only to the version `loaded` stamps, the one the table was loaded from: another
// version by then gives write_changed, with nothing written.
int hosts_write(const Config* q, int n, const char* buf, Mode mode, const char* path,
                const FileStamp* loaded) {
    char ip[sizeof(Config::ip)];
    char url[sizeof(Config::url)];
    if (!buf || !well_formed(buf, ip, url)) return write_malformed;
    // Never created here: appending would recreate a file that another program removed since the
    // load.
    File f(open_append(path));
    if (!f || std::setvbuf(f.get(), nullptr, _IONBF, 0) != 0)
        return fail("hosts_write fopen err", write_open_failed);
    const Update u{q, n, buf, mode, path, loaded};
    int loc = n > 0 ? find_entry(q, n, url) : -1;
    if (loc >= 0) {
        std::printf("hosts_write:loc = %d\n", loc);
        f.reset();
        return rewrite(u, loc);
    }
    if (mode != add_mode && n > 0) return missing(buf);
    return append_to(u, f);
}

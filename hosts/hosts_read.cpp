// Line rules of the hosts file, and loading its entry lines into the table.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>

#include "hosts.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Another program changed the file while it was being read twice.
int changed_between_passes() {
    std::printf("hosts_read:hosts文件已被其他程序修改！\n");
    return -5;
}

// Fills `count` slots from the entry lines of `f`; a file whose entries no longer number `count`
// fails, so no slot is written past the end and none is handed out unfilled.
int fill_table(std::FILE* f, Config* table, int count) {
    LineReader reader(f);
    int i = 0;
    while (char* line = reader.next()) {
        format_string(line);
        if (!is_entry_line(line)) continue;
        if (i == count) return changed_between_passes();
        int e = separate_str(line, table[i].ip, table[i].url);
        if (e != 0) {
            std::printf("separate_str err: %d\n", e);
            return e;
        }
        ++i;
    }
    if (reader.failed()) {
        report("hosts_read err");
        return -1;
    }
    return i == count ? 0 : changed_between_passes();
}

}  // namespace

File open_file(const char* path, const char* mode) { return File(std::fopen(path, mode)); }

// Standard output is buffered and the error stream is not: flushing first keeps the reports in
// the order the program made them, on a terminal too.
void report(const char* tag) {
    int saved = errno;
    std::fflush(stdout);
    errno = saved;
    std::perror(tag);
}

void report_text(const char* format, ...) {
    std::fflush(stdout);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

int close_file(File& f) {
    std::FILE* raw = f.release();
    return raw ? std::fclose(raw) : 0;
}

char* LineReader::next() {
    // The mark comes off the stream, not the first line, so that line keeps its 4095 bytes.
    if (!started_) {
        started_ = true;
        end_ = std::fread(chunk_, 1, sizeof chunk_, f_);
        bom_ = end_ >= byte_order_mark_size &&
               std::memcmp(chunk_, byte_order_mark, byte_order_mark_size) == 0;
        if (bom_) pos_ = byte_order_mark_size;
    }
    size_ = 0;
    while (size_ < sizeof line_ - 1) {
        if (pos_ == end_) {
            pos_ = 0;
            end_ = std::fread(chunk_, 1, sizeof chunk_, f_);
            if (end_ == 0) break;
        }
        std::size_t room = std::min(end_ - pos_, sizeof line_ - 1 - size_);
        const char* from = chunk_ + pos_;
        const void* line_end = std::memchr(from, '\n', room);
        std::size_t take = line_end ? static_cast<const char*>(line_end) - from + 1 : room;
        std::memcpy(line_ + size_, from, take);
        size_ += take;
        pos_ += take;
        if (line_end) {
            if (crlf_ && size_ >= 2 && line_[size_ - 2] == '\r') {
                line_[size_ - 2] = '\n';
                --size_;
            }
            break;
        }
    }
    if (size_ == 0) return nullptr;
    line_[size_] = '\0';
    return line_;
}

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

int separate_str(const char* src, char* buf1, char* buf2) {
    if (!src || !buf1 || !buf2) return -1;
    const char* space = std::strchr(src, ' ');
    if (!space) {
        std::printf("space_loc:%s\n", src);
        return -2;
    }
    std::size_t ip_size = space - src;
    std::size_t url_size = std::strlen(space + 1);
    // Refuse rather than cut: a cut entry would be written back cut by the next rewrite.
    if (ip_size >= sizeof(Config::ip) || url_size >= sizeof(Config::url)) {
        std::printf("part_len:%s\n", src);
        return -3;
    }
    std::memcpy(buf1, src, ip_size);
    buf1[ip_size] = '\0';
    std::memcpy(buf2, space + 1, url_size + 1);
    return 0;
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

void TableFree::operator()(Config* slots) const { table_free(slots, count); }

bool is_entry_line(const char* line) { return line[0] != '#' && !is_space(line[0]); }

int line_n(const char* path) {
    File f = open_file(path, "r+b");
    if (!f) {
        report("hosts_read err");
        return -1;
    }
    LineReader reader(f.get());
    int count = 0;
    // Trimming never changes whether a line is an entry line, so counting can skip it.
    while (const char* line = reader.next()) {
        if (!is_entry_line(line)) continue;
        if (count == INT_MAX) {
            errno = EOVERFLOW;
            report("hosts_read err");
            return -1;
        }
        ++count;
    }
    if (reader.failed()) {
        report("hosts_read err");
        return -1;
    }
    return count;
}

int load_entries(std::FILE* f, int count, Table* q) {
    // Uninitialised: every slot is filled before the table is handed out, and zeroing 350 bytes
    // a slot first would only double the cost of a million entries.
    Table table(table_alloc(count), TableFree{static_cast<std::size_t>(count)});
    if (!table) {
        report("build p err");
        return -4;
    }
    int ret = fill_table(f, table.get(), count);
    if (ret == 0) *q = std::move(table);
    return ret;
}

int hosts_read(Table* q, int* number, const char* path) {
    // Binary, with line ends turned by the reader: a text stream on Windows would end the file
    // at a stray Ctrl-Z byte, and a rewrite would then drop every line after it.
    File f = open_file(path, "r+b");
    if (!f) {
        report("hosts_read fopen err");
        return -1;
    }
    int count = line_n(path);
    if (count < 0) return -6;
    int ret = load_entries(f.get(), count, q);
    if (ret == 0) *number = count;
    return ret;
}

// Reading a file's lines, splitting and writing entry lines, and walking a file in step with a
// table.
#include "lines.h"

#include <algorithm>
#include <cstring>

#include "streams.h"

// Reads the next chunk: false at the end or on error. A last byte that could be the file's
// end-of-file byte is held back until the next read shows whether anything follows it.
bool LineReader::fill() {
    pos_ = end_ = 0;
    while (end_ == 0) {
        std::size_t held = held_ ? 1 : 0;
        chunk_[0] = end_of_file_byte;
        std::size_t got = std::fread(chunk_ + held, 1, sizeof chunk_ - held, f_);
        if (got == 0) {
            eof_byte_ = eof_byte_ || held_;
            held_ = false;
            return false;
        }
        end_ = held + got;
        held_ = chunk_[end_ - 1] == end_of_file_byte;
        if (held_) --end_;
    }
    return true;
}

char* LineReader::next() {
    // The mark comes off the stream, not the first line, so that line keeps its 4095 bytes.
    if (!started_) {
        started_ = true;
        fill();
        bom_ = end_ >= byte_order_mark_size &&
               std::memcmp(chunk_, byte_order_mark, byte_order_mark_size) == 0;
        if (bom_) pos_ = byte_order_mark_size;
    }
    size_ = 0;
    while (size_ < sizeof line_ - 1) {
        if (pos_ == end_ && !fill()) break;
        std::size_t room = std::min(end_ - pos_, sizeof line_ - 1 - size_);
        const char* from = chunk_ + pos_;
        const void* nl = std::memchr(from, '\n', room);
        std::size_t take = nl ? static_cast<const char*>(nl) - from + 1 : room;
        std::memcpy(line_ + size_, from, take);
        size_ += take;
        pos_ += take;
        if (nl) break;
    }
    if (size_ == 0) return nullptr;
    line_[size_] = '\0';
    return line_;
}

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

}  // namespace

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
    if (entry_ && ++index_ == count_) {
        overflow_ = true;
        return nullptr;
    }
    return line;
}

int EntryWalk::changed() const {
    std::fputs(fail_.changed_text, stdout);
    return fail_.changed_code;
}

// A file read whole with exactly the table's entries gives 0; a read error or a changed file
// gives its code, after its report.
int EntryWalk::end() const {
    if (reader_.failed()) {
        report(fail_.read_tag);
        return fail_.read_code;
    }
    return overflow_ || index_ + 1 != count_ ? changed() : 0;
}

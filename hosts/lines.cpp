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

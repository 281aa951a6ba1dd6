// Reading a file's lines with every byte, and walking them in step with a table.
#include "lines.h"

#include <algorithm>
#include <cstring>

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

// A file read whole with exactly the table's entries is whole; an entry line past the table's
// end, or fewer than it holds, is a changed file.
Walked EntryWalk::end() const {
    if (reader_.failed()) return Walked::read_failed;
    return overflow_ || index_ + 1 != count_ ? Walked::changed : Walked::whole;
}

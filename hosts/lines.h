// The lines of a hosts file as the load and the update read them: with every byte, and in step
// with a table of its entry lines. The rules that tell and split those lines are hosts.h's.
#pragma once

#include <cstddef>
#include <cstdio>

#include "hosts.h"

/// The UTF-8 byte-order mark that Windows editors put at the start of a file.
inline constexpr char byte_order_mark[] = "\xEF\xBB\xBF";
/// The bytes of the byte-order mark, without its NUL.
inline constexpr std::size_t byte_order_mark_size = sizeof byte_order_mark - 1;
/// The DOS end-of-file byte (Ctrl-Z) that old Windows tools leave as a file's last byte.
inline constexpr char end_of_file_byte = '\x1A';

/// Whether the `size` bytes of `text` end a line, as empty text does.
inline bool ends_line(const char* text, std::size_t size) {
    return size == 0 || text[size - 1] == '\n';
}

/// Reads a binary stream in lines of at most 4095 bytes, keeping every byte and each line's size.
class LineReader {
public:
    /// Reads `f`, which stays the caller's to close.
    explicit LineReader(std::FILE* f) : f_(f) {}
    /// The next line, or 4095-byte piece of one, without mark or end-of-file byte: null at the end.
    char* next();
    /// The bytes in the line that next() returned, NUL bytes included.
    std::size_t size() const { return size_; }
    /// Whether the stream began with a UTF-8 byte-order mark, once next() was called.
    bool had_bom() const { return bom_; }
    /// Whether the stream ended with an end-of-file byte, once next() has returned null.
    bool had_end_of_file_byte() const { return eof_byte_; }
    /// Whether reading stopped on an error rather than at the end of the stream.
    bool failed() const { return std::ferror(f_) != 0; }

private:
    /// Reads the next chunk: false at the end or on error.
    bool fill();

    std::FILE* f_;           ///< the stream read
    char chunk_[1 << 16];    ///< the bytes read from it, not yet all handed out
    std::size_t pos_ = 0;    ///< where the next line starts in chunk_
    std::size_t end_ = 0;    ///< the end of the bytes in chunk_
    char line_[4096];        ///< the line next() returned, NUL-terminated
    std::size_t size_ = 0;   ///< its bytes
    bool started_ = false;   ///< whether the mark was looked for
    bool bom_ = false;       ///< whether there was one
    bool held_ = false;      ///< whether an end-of-file byte is held back
    bool eof_byte_ = false;  ///< whether the stream ended with one
};

/// How a walk ended: the file held exactly the table's entries, could not be read, or changed.
enum class Walked { whole, read_failed, changed };

/// Reads a file's lines in step with a table of `count` entries, numbering its entry lines.
class EntryWalk {
public:
    /// Walks `f` for a table of `count` entries.
    EntryWalk(std::FILE* f, int count) : reader_(f), count_(count) {}
    /// The next line, as read: null at the end, on error, or past the table's end.
    char* next() {
        // Trimming never changes whether a line is an entry line: the walk tests it as read.
        char* line = reader_.next();
        entry_ = line && is_entry_line(line);
        if (entry_ && ++index_ == count_) {
            overflow_ = true;
            return nullptr;
        }
        return line;
    }
    /// Whether the line next() returned is an entry line.
    bool entry() const { return entry_; }
    /// The slot of the entry line next() returned.
    int index() const { return index_; }
    /// The lines' reader, for its size, mark and end-of-file byte.
    const LineReader& reader() const { return reader_; }
    /// Once next() returned null: how the walk ended, whole, on a read error, or on a changed file.
    Walked end() const;

private:
    LineReader reader_;      ///< the file's lines
    int count_;              ///< the table's entries
    int index_ = -1;         ///< the slot of the last entry line
    bool entry_ = false;     ///< whether the last line was an entry line
    bool overflow_ = false;  ///< whether an entry line had no slot
};

// The lines of a hosts file as the load, the update and the listing handle them: reading them
// with every byte, splitting an entry line, writing one, and walking a file's lines in step with
// a table. Internal to the program's sources: hosts.h holds only the rules these build on.
#pragma once

#include <cstddef>
#include <cstdio>

#include "hosts.h"

/// The UTF-8 byte-order mark that Windows editors put at the start of a file.
inline constexpr char byte_order_mark[] = "\xEF\xBB\xBF";
inline constexpr std::size_t byte_order_mark_size = sizeof byte_order_mark - 1;
/// The DOS end-of-file byte (Ctrl-Z) that old Windows tools leave as a file's last byte.
inline constexpr char end_of_file_byte = '\x1A';

/// Whether the `size` bytes of `text` end a line, as empty text does.
inline bool ends_line(const char* text, std::size_t size) {
    return size == 0 || text[size - 1] == '\n';
}

/// Reads a binary stream in lines of at most 4095 bytes, as fgets reads a text stream, but
/// keeping every byte of each line and knowing its size.
class LineReader {
public:
    explicit LineReader(std::FILE* f) : f_(f) {}
    /// The next line with its line end as it stands, or piece of a longer one; null at the end or
    /// on error. A byte-order mark at the start and an end-of-file byte at the end are no line's.
    char* next();
    /// The bytes in the line that next() returned, NUL bytes included.
    std::size_t size() const { return size_; }
    /// Whether the stream began with a UTF-8 byte-order mark; known once next() was called.
    bool had_bom() const { return bom_; }
    /// Whether the stream ended with an end-of-file byte; known once next() has returned null.
    bool had_end_of_file_byte() const { return eof_byte_; }
    /// Whether reading stopped on an error rather than at the end of the stream.
    bool failed() const { return std::ferror(f_) != 0; }

private:
    bool fill();

    std::FILE* f_;
    char chunk_[1 << 16];
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    char line_[4096];
    std::size_t size_ = 0;
    bool started_ = false;
    bool bom_ = false;
    bool held_ = false;
    bool eof_byte_ = false;
};

/// Splits `src` as separate_str does, but silently: line_ok, line_no_space or line_part_too_long.
int split_line(const char* src, char* ip, char* url);
/// Writes `entry` to `f` as `open`, its address, a space, its host text and `close`.
void put_entry(std::FILE* f, const Config& entry, const char* open, const char* close);

/// How a walk of the file reports its failures: the tag and code of a read error, the text and
/// code of a file whose entries no longer match the table.
struct WalkFailures {
    const char* read_tag;
    int read_code;
    const char* changed_text;
    int changed_code;
};

/// Reads a file's lines in step with a table of `count` entries, numbering its entry lines.
class EntryWalk {
public:
    EntryWalk(std::FILE* f, int count, const WalkFailures& fail)
        : reader_(f), count_(count), fail_(fail) {}
    /// The next line: an entry line, trimmed, or any other line as it stands; null at the end,
    /// on a read error, and at an entry line that the table has no slot for.
    char* next();
    /// Whether the line next() returned is an entry line.
    bool entry() const { return entry_; }
    /// The slot of the entry line next() returned.
    int index() const { return index_; }
    /// The lines' reader, for its size, mark and end-of-file byte.
    const LineReader& reader() const { return reader_; }
    /// Prints that the file no longer matches the table: the changed code.
    int changed() const;
    /// After next() returned null: 0 when the file was read whole and held exactly the table's
    /// entries; otherwise the read or changed code, after its report.
    int end() const;

private:
    LineReader reader_;
    int count_;
    WalkFailures fail_;
    int index_ = -1;
    bool entry_ = false;
    bool overflow_ = false;
};

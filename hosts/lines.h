// The lines of a hosts file as the load, the update and the listing handle them: splitting an
// entry line, writing one, and walking a file's lines in step with a table. Internal to the
// program's sources: hosts.h holds only the rules these build on.
#pragma once

#include <cstdio>

#include "files.h"
#include "hosts.h"

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

/// Fills a new table of `count` slots from the entry lines of `f` into `*q`, written only on
/// success: read_ok, or a ReadResult.
int load_entries(std::FILE* f, int count, Table* q);

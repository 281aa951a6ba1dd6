// The hosts table: the record of one association, the line rules of the hosts file, loading its
// entry lines into a table, and changing the file by that table.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

/// One version of a file (files.h).
struct FileStamp;

/// One association: the address and the host text of an entry line, each NUL-terminated.
struct Config {
    char ip[50];    ///< the address
    char url[300];  ///< the host text
};

/// Gives a table's memory back the way it was taken.
struct TableFree {
    std::size_t count = 0;  ///< the table's slots
    /// Gives back the memory of `slots`, a table of `count` slots.
    void operator()(Config* slots) const;
};
/// The entry table: one contiguous array, exactly one slot per entry line, in file order.
using Table = std::unique_ptr<Config[], TableFree>;

/// What hosts_read returns.
enum ReadResult {
    read_ok = 0,
    read_open_failed = -1,    ///< the file cannot be opened for reading and writing, or read
    read_unsplittable = -2,   ///< an entry line holds neither a space nor a tab
    read_part_too_long = -3,  ///< an entry line's address is over 49 bytes or its host over 299
    read_no_memory = -4,      ///< no memory for the table
    read_changed = -5,        ///< another program changed the entries between the two passes
    read_count_failed = -6,   ///< the counting pass could not open or read the file
};

/// What hosts_write returns.
enum WriteResult {
    write_ok = 0,
    write_open_failed = -1,      ///< the file cannot be opened to append, read or stamped
    write_append_failed = -2,    ///< appending the request failed; its own bytes are cut back
    write_reread_failed = -3,    ///< the file cannot be read again, or no new version be made
    write_malformed = -4,        ///< the request cannot form an entry
    write_kept_failed = -5,      ///< writing the kept lines into the new version failed
    write_request_failed = -6,   ///< writing the request into the new version failed
    write_missing = -7,          ///< delete: no entry has the request's host part
    write_line_end_failed = -8,  ///< delete in a file without entries: its line end failed
    write_changed = -9,          ///< another program changed or replaced the file meanwhile
    write_replace_failed = -10,  ///< the new version could not be put in place
};

/// What format_string and separate_str return.
enum LineResult {
    line_ok = 0,
    line_null = -1,           ///< an argument is null
    line_no_space = -2,       ///< separate_str: the line holds neither a space nor a tab
    line_part_too_long = -3,  ///< separate_str: the address is over 49 bytes or the host over 299
};

/// What line_n returns when the file cannot be opened or read.
inline constexpr int count_failed = -1;

/// Whether `c` is white space: space, tab, LF, VT, FF or CR, never a byte of 0x80 or above.
inline bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
/// The bytes of `str` that trimming keeps: all of them when it holds nothing but white space.
std::size_t trimmed_size(const char* str);
/// Trims trailing white space of `str` in place: line_ok, or line_null when `str` is null.
int format_string(char* str);
/// Splits `src` at its first space or tab into `buf1` (50 bytes) and, after the blanks there,
/// `buf2` (300 bytes): line_ok, or a LineResult.
int separate_str(const char* src, char* buf1, char* buf2);
/// Where the two parts of a line lie: its address, then its host text after the blanks between.
struct LineParts {
    std::size_t ip_size = 0;  ///< the bytes of the address, from the line's start
    std::size_t url_at = 0;   ///< where the host text starts
};
/// Finds the parts of the first `size` bytes of `src`: false when they hold no space or tab.
bool find_parts(const char* src, std::size_t size, LineParts* parts);
/// Splits `src` as separate_str does, but silently: line_ok, line_no_space or line_part_too_long.
int split_line(const char* src, char* ip, char* url);
/// Whether a line is an entry line: its first byte is neither "#" nor white space.
inline bool is_entry_line(const char* line) { return line[0] != '#' && !is_space(line[0]); }

/// Counts the entry lines of the file `path`: count_failed when it cannot be opened or read.
int line_n(const char* path);
/// Fills a new table of `count` slots from the entry lines of `f` into `*q`: read_ok, or a
/// ReadResult.
int load_entries(std::FILE* f, int count, Table* q);
/// Loads the hosts file `path` into `*q` and `*number`, written only on success: 0, or a
/// ReadResult.
int hosts_read(Table* q, int* number, const char* path);
/// Loads as hosts_read does, stamping in `*loaded` the version it loaded: 0, or a ReadResult.
int hosts_read(Table* q, int* number, const char* path, FileStamp* loaded);

/// What hosts_write does with a request.
enum Mode {
    add_mode = 0,     ///< add it, or replace the entry with its host
    delete_mode = 1,  ///< delete the entry with its host
};

/// Adds or deletes, as `mode` says, the request `buf` by the table `q` of `n` entries in `path`:
/// 0, or a WriteResult.
int hosts_write(const Config* q, int n, const char* buf, Mode mode, const char* path);
/// Updates as hosts_write does, but only the version `loaded` stamps: 0, or a WriteResult.
int hosts_write(const Config* q, int n, const char* buf, Mode mode, const char* path,
                const FileStamp* loaded);

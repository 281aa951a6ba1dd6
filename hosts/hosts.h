// The hosts table: line rules, loading, update, and the file plumbing they share.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#ifndef HOSTS_PATH
#ifdef _WIN32
#define HOSTS_PATH "C:/Windows/System32/drivers/etc/hosts"
#else
#define HOSTS_PATH "/etc/hosts"
#endif
#endif

/// One association: the address and the host text of an entry line, each NUL-terminated.
struct Config {
    char ip[50];
    char url[300];
};

/// Closes a stream when it goes out of scope, on every path.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

/// Gives the table's memory back to the platform layer, which knows how it was taken.
struct TableFree {
    std::size_t count = 0;
    void operator()(Config* slots) const;
};
/// The entry table: one contiguous array, exactly one slot per entry line, in file order.
using Table = std::unique_ptr<Config[], TableFree>;

/// Opens `path` with `mode`; null (errno set) when it cannot be opened.
File open_file(const char* path, const char* mode);
/// Closes `f` and reports whether everything written reached the file: 0, or EOF on failure.
int close_file(File& f);
/// Writes "tag: <the message for errno>" to stderr, after everything already printed to stdout.
void report(const char* tag);
/// Writes a printf-formatted report to stderr, after everything already printed to stdout.
void report_text(const char* format, ...);

/// The UTF-8 byte-order mark that Windows editors put at the start of a file.
inline constexpr char byte_order_mark[] = "\xEF\xBB\xBF";
inline constexpr std::size_t byte_order_mark_size = sizeof byte_order_mark - 1;

/// Whether text files end their lines with CR LF, which a binary read must turn into LF.
extern const bool crlf_line_ends;

/// Reads a binary stream in lines of at most 4095 bytes, as fgets reads a text stream, but with
/// no end-of-file byte (Ctrl-Z on Windows), and knowing each line's size.
class LineReader {
public:
    explicit LineReader(std::FILE* f, bool crlf = crlf_line_ends) : f_(f), crlf_(crlf) {}
    /// The next line (with its line end), or piece of a longer one; null at the end or on error.
    char* next();
    /// The bytes in the line that next() returned, NUL bytes included.
    std::size_t size() const { return size_; }
    /// Whether the stream began with a UTF-8 byte-order mark, which belongs to no line.
    bool had_bom() const { return bom_; }
    /// Whether reading stopped on an error rather than at the end of the stream.
    bool failed() const { return std::ferror(f_) != 0; }

private:
    std::FILE* f_;
    bool crlf_;
    char chunk_[1 << 16];
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    char line_[4096];
    std::size_t size_ = 0;
    bool started_ = false;
    bool bom_ = false;
};

/// Trims trailing white space of `str` in place: 0, or -1 when `str` is null.
int format_string(char* str);
/// Splits `src` at its first space into `buf1` (50 bytes) and `buf2` (300 bytes): 0; -1 for a
/// null argument; -2 without a space ("space_loc:%s\n"); -3 when a part is too long
/// ("part_len:%s\n").
int separate_str(const char* src, char* buf1, char* buf2);
/// Writes `entry` to `f` as `open`, its address, a space, its host text and `close`.
void put_entry(std::FILE* f, const Config& entry, const char* open, const char* close);
/// Whether a trimmed line is an entry line: its first byte is neither "#" nor white space.
bool is_entry_line(const char* line);

/// Counts the entry lines of the hosts file: the count, or -1 when it cannot be opened or read.
int line_n(const char* path = HOSTS_PATH);
/// Fills a new table of `count` slots from the entry lines of `f` into `*q`, written only on
/// success: 0, or -1 to -5 as hosts_read.
int load_entries(std::FILE* f, int count, Table* q);
/// Loads the hosts file into `*q` and `*number`, written only on success: 0; -1 open or read
/// failure; -2 unsplittable line; -3 over-long part; -4 no memory; -5 file changed between the
/// passes; -6 counting pass failed.
int hosts_read(Table* q, int* number, const char* path = HOSTS_PATH);

/// Adds (mode 0) or deletes (other modes) the request `buf` against the table `q` of `n`
/// entries: 0, or the negative code of the step that failed (see the README's table).
int hosts_write(const Config* q, int n, const char* buf, int mode, const char* path = HOSTS_PATH);

/// A new version of a file, written beside it and put in its place only once it is whole.
class Replacement {
public:
    /// Creates the temporary file beside `path`'s target; stream() is null when that failed.
    Replacement(const char* path, bool binary);
    /// Removes the temporary file unless commit() put it in place or had to keep it.
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    /// The stream to write the new content to; null when the temporary file could not be made.
    std::FILE* stream() const { return file_.get(); }
    /// Flushes, syncs and closes the new file and puts it in place: 0, or -1 after a report on
    /// stderr, with the old file unchanged (or, when only the temporary file holds the new
    /// content, that file kept and named in the report).
    int commit();

private:
    std::string target_;
    std::string temp_;
    std::unique_ptr<char[]> buffer_;
    File file_;
    bool keep_ = false;
};

// What differs between Windows and POSIX.

/// Creates `path` exclusively and opens it for writing: null (errno set) when it exists or fails.
File create_exclusive(const char* path, bool binary);
/// Writes the stream's data through to the disk: 0, or -1 with errno set.
int sync_file(std::FILE* f);
/// Gives `to` the permission bits (and owner, where allowed) of `from`; best effort.
void copy_permissions(const char* from, std::FILE* to);
/// Replaces `to` by `from` in one step: 0, or -1 with errno set.
int rename_over(const char* from, const char* to);
/// Cuts the file `path` back to `size` bytes: 0, or -1 with errno set.
int truncate_file(const char* path, long long size);
/// Takes one contiguous, uninitialised array of `count` slots, its pages committed at once (a
/// non-null empty array for 0): null (errno set) when there is no memory for it.
Config* table_alloc(std::size_t count);
/// Releases an array of `count` slots that table_alloc returned; does nothing for null.
void table_free(Config* slots, std::size_t count);
/// A number that tells this process's files from another's.
unsigned long process_id();
/// Waits for a key press on a console; does nothing without one.
void pause_console();
/// Clears a console screen; does nothing without one.
void clear_console();

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
/// The entry table: exactly one slot per entry line, in file order.
using Table = std::unique_ptr<Config[]>;

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

/// The DOS end-of-file byte (Ctrl-Z) that old Windows tools leave as a file's last byte.
inline constexpr char end_of_file_byte = '\x1A';

/// The line end of the lines the program writes itself: CR LF on Windows, LF elsewhere.
extern const char* own_line_end;

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
    /// Whether the stream began with a UTF-8 byte-order mark, which belongs to no line.
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

/// Copies the rest of `from` into `to`: 0; -1 when reading failed, -2 when writing failed.
int copy_stream(std::FILE* from, std::FILE* to);

/// A new version of a file, written beside it and put in its place only once it is whole.
class Replacement {
public:
    /// Removes what killed runs left beside the target, then creates the temporary file there;
    /// stream() is null (errno set) when that failed. The target is `path`, or, when
    /// `follow_links` is set and `path` is a link, the file it leads to.
    Replacement(const char* path, bool binary, bool follow_links = true);
    /// Removes the temporary file unless commit() put it in place or had to keep it.
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    /// The stream to write the new content to; null when the temporary file could not be made.
    std::FILE* stream() const { return file_.get(); }
    /// Gives the new file the old one's permissions, syncs it and puts it in place: 0 when the
    /// target holds the new content; -1 after a report on stderr, with the target holding its
    /// old content, or, when not even that could be restored, both versions kept and named.
    int commit();

private:
    File save_old(std::string* path);
    int copy_in_place(int rename_errno);

    std::string target_;
    std::string folder_;
    std::string temp_;
    std::unique_ptr<char[]> buffer_;
    File file_;
    bool keep_ = false;
};

// What differs between Windows and POSIX.

/// Creates `path` exclusively, opens it for reading and writing and locks it for as long as it
/// stays open: null (errno set) when it exists or cannot be made.
File create_exclusive(const char* path, bool binary);
/// Writes the stream's data through to the disk: 0, or -1 with errno set.
int sync_file(std::FILE* f);
/// Writes a folder's entries (a rename in it) through to the disk: 0, or -1 with errno set.
int sync_folder(const char* path);
/// Gives `to` the permission bits and owner of the file `from`, if it exists: 0, or -1 with
/// errno set when they cannot be given.
int copy_permissions(const char* from, std::FILE* to);
/// Replaces `to` by `from` in one step: 0, or -1 with errno set.
int rename_over(const char* from, const char* to);
/// Cuts the stream's file to `size` bytes: 0, or -1 with errno set.
int resize_file(std::FILE* f, long long size);
/// Cuts the file `path` back to `size` bytes and syncs it: 0, or -1 with errno set.
int truncate_file(const char* path, long long size);
/// What the stream's file is when it is not a regular file ("a folder", "a FIFO", ...); null
/// for a regular file.
const char* not_regular(std::FILE* f);
/// Opens `path` with `mode` ("rb" or "r+b") only if it is a regular file reached through no
/// link: null with `*why` saying what it is instead ("a symbolic link", "a folder", ...), or
/// with `*why` null and errno set when it cannot be opened at all.
File open_regular(const char* path, const char* mode, const char** why);
/// Whether `path`, left by process `pid`, is a regular file that no running process holds.
bool abandoned(const char* path, unsigned long pid);
/// A number that tells this process's files from another's.
unsigned long process_id();
/// Waits for a key press on a console; does nothing without one.
void pause_console();
/// Clears a console screen; does nothing without one.
void clear_console();

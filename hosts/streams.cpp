// The small file plumbing: stream handles, closing and flushing them, copying, and reports.
#include "streams.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <filesystem>

#include "files.h"

File open_file(const char* path, const char* mode) { return File(open_stream(path, mode)); }

namespace {

// Reports kept while a change is in flight: a report to a pipe or a terminal that does not read
// could hold the program before its repair. Kept in place, so that keeping them needs no memory;
// what does not fit is cut, but the line end stays.
char held[1 << 14];
std::size_t held_size = 0;
int holds = 0;

void keep(const char* format, std::va_list args) {
    std::size_t room = sizeof held - held_size;
    int size = std::vsnprintf(held + held_size, room, format, args);
    if (size < 0) return;
    held_size += std::min(static_cast<std::size_t>(size), room - 1);
    if (static_cast<std::size_t>(size) >= room) held[held_size - 1] = '\n';
}

// Standard output is buffered and the error stream is not: flushing first keeps the reports in
// the order the program made them, on a terminal too.
void say(const char* format, std::va_list args) {
    if (holds > 0) return keep(format, args);
    std::fflush(stdout);
    std::vfprintf(stderr, format, args);
}

void say(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    say(format, args);
    va_end(args);
}

}  // namespace

void report(const char* tag) {
    int saved = errno;
    say("%s: %s\n", tag, error_text(saved));
    errno = saved;
}

int fail(const char* tag, int code) {
    report(tag);
    return code;
}

void report_text(const char* format, ...) {
    int saved = errno;
    std::va_list args;
    va_start(args, format);
    say(format, args);
    va_end(args);
    errno = saved;
}

void hold_reports() { ++holds; }

void reports_due() {
    if (holds == 0 || --holds > 0 || held_size == 0) return;
    int saved = errno;
    std::size_t size = held_size;
    held_size = 0;
    say("%.*s", static_cast<int>(size), held);
    errno = saved;
}

bool close_file(File& f) {
    std::FILE* raw = f.release();
    return !raw || std::fclose(raw) == 0;
}

bool flush_file(std::FILE* f, bool sync) {
    bool written = std::fflush(f) == 0 && !std::ferror(f);
    return written && (!sync || sync_file(f));
}

CopyResult copy_stream(std::FILE* from, std::FILE* to) {
    char piece[1 << 16];
    std::size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, from)) > 0) {
        if (std::fwrite(piece, 1, got, to) != got) return copy_write_failed;
    }
    return std::ferror(from) ? copy_read_failed : copy_ok;
}

std::string folder_of(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
}

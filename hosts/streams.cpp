// The small file plumbing: stream handles, closing and flushing them, copying, and reports.
#include "streams.h"

#include <cerrno>
#include <cstdarg>
#include <filesystem>

#include "platform.h"

File open_file(const char* path, const char* mode) { return File(open_stream(path, mode)); }

// Standard output is buffered and the error stream is not: flushing first keeps the reports in
// the order the program made them, on a terminal too.
void report(const char* tag) {
    int saved = errno;
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", tag, error_text(saved));
    errno = saved;
}

int fail(const char* tag, int code) {
    report(tag);
    return code;
}

void report_text(const char* format, ...) {
    std::fflush(stdout);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
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

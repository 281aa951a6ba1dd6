// The small file plumbing: stream handles, closing and flushing them, copying, and reports.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

/// Closes a stream when it goes out of scope, on every path.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

/// Opens `path` with `mode`: null (errno set) when it cannot be opened.
File open_file(const char* path, const char* mode);
/// Closes `f`: 0, or EOF (errno set) when what was written to it did not all reach the file.
bool close_file(File& f);
/// Writes out what the stream holds, and with `sync` through to the disk: 0, or -1 (errno set)
/// when any write to it so far failed.
bool flush_file(std::FILE* f, bool sync);
/// What copy_stream returns.
enum CopyResult { copy_ok, copy_read_failed, copy_write_failed };
/// Copies the rest of `from` into `to`: copy_ok, copy_read_failed or copy_write_failed.
CopyResult copy_stream(std::FILE* from, std::FILE* to);

/// Writes "tag: <the message for errno>" to stderr, after everything already printed to stdout.
void report(const char* tag);
/// Reports the failed call `tag` as report() does and gives back `code`, for the caller to return.
int fail(const char* tag, int code);
/// Writes a printf-formatted report to stderr, after everything already printed to stdout.
void report_text(const char* format, ...);
/// The folder that holds `path`: "." for a name without one.
std::string folder_of(const std::string& path);

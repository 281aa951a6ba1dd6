// The small file plumbing: stream handles, closing and flushing them, copying, and reports.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

/// Closes a stream when it goes out of scope, on every path.
struct FileCloser {
    /// Closes `f`, whatever became of what was written to it.
    void operator()(std::FILE* f) const { std::fclose(f); }
};
/// An open stream, closed when it goes out of scope.
using File = std::unique_ptr<std::FILE, FileCloser>;

/// Opens `path` with `mode`: null (errno set) when it cannot be opened.
File open_file(const char* path, const char* mode);
/// Closes `f`: false (errno set) when what was written to it did not all reach the file.
bool close_file(File& f);
/// Writes out what the stream holds, with `sync` to the disk: false (errno set) when any write
/// failed.
bool flush_file(std::FILE* f, bool sync);
/// How copy_stream went: whole, or stopped by a failed read or a failed write.
enum CopyResult { copy_ok, copy_read_failed, copy_write_failed };
/// Copies the rest of `from` into `to`: copy_ok, copy_read_failed or copy_write_failed.
CopyResult copy_stream(std::FILE* from, std::FILE* to);

/// Writes "tag: <the message for errno>" to stderr, after everything already printed to stdout.
void report(const char* tag);
/// Reports the failed call `tag` as report() does: `code`, for the caller to return.
int fail(const char* tag, int code);
/// Writes a printf-formatted report to stderr, after everything already printed to stdout.
void report_text(const char* format, ...);
/// Keeps the reports made from now on until reports_due(): none comes between a failure and its
/// repair.
void hold_reports();
/// Ends a hold_reports(): once the last one ends, the reports kept write out in the order made.
void reports_due();
/// The folder that holds `path`: "." for a name without one.
std::string folder_of(const std::string& path);

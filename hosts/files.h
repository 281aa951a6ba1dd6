// The files the program opens, syncs, resizes and stamps, the file a link leads to, the words a
// report gives for a system error, and the line end the program writes: each as its system has it.
#pragma once

#include <cstdio>
#include <string>

/// The line end of the lines the program writes itself: CR LF on Windows, LF elsewhere.
extern const char* own_line_end;

/// Opens the regular file `path`, reached through no link, with `mode`: null, with `*why` saying
/// what it is.
std::FILE* open_regular(const char* path, const char* mode, const char** why);
/// Opens `path` as open_regular does, but only on its folder's own mount: null, with `*why` "a
/// mount point" for one.
std::FILE* open_same_mount(const char* path, const char* mode, const char** why);
/// What the stream's file is when it is not a regular file ("a folder", ...): null for a regular
/// file.
const char* not_regular(std::FILE* f);
/// Opens `path` as std::fopen does with `mode`: null (errno set) when it cannot be opened so.
std::FILE* open_stream(const char* path, const char* mode);
/// Opens the existing file `path` to read and to append only, never creating it: null (errno set)
/// when it cannot.
std::FILE* open_append(const char* path);
/// A second stream to read, resize and sync the stream's open file: null (errno set) when none
/// can be made.
std::FILE* another_stream(std::FILE* f);
/// The text a report gives for `errnum`, on Windows the system's own where the library's would
/// mislead.
const char* error_text(int errnum);

/// Writes the stream's data through to the disk: false (errno set) when it cannot.
bool sync_file(std::FILE* f);
/// Writes a folder's entries (a rename in it) through to the disk: false (errno set) when it
/// cannot.
bool sync_folder(const char* path);
/// The absolute name of the file `path` leads to through every link: `path` when it cannot be
/// found; empty (errno set), `*why` saying why, for a link that the system cannot follow.
std::string final_path(const char* path, const char** why);
/// Whether `path` is a symbolic link that leads to no file.
bool dangling_link(const char* path);
/// Cuts the stream's file to `size` bytes: false (errno set) when it cannot.
bool resize_file(std::FILE* f, long long size);

/// What identifies one version of a file: which file it is, its size and when it last changed.
struct FileStamp {
    unsigned long long device = 0;  ///< the device or volume that holds it
    unsigned long long file = 0;    ///< its number there
    unsigned long long size = 0;    ///< its bytes
    long long modified = 0;         ///< when its data changed: nanoseconds, or the system's unit
    long long changed = 0;          ///< its status change time where the system keeps one
};
/// Whether two stamps name the same file, whatever its content.
inline bool same_file(const FileStamp& a, const FileStamp& b) {
    return a.device == b.device && a.file == b.file;
}
/// Whether two stamps name the same version of the same file.
inline bool same_version(const FileStamp& a, const FileStamp& b) {
    return same_file(a, b) && a.size == b.size && a.modified == b.modified &&
           a.changed == b.changed;
}
/// Stamps the stream's file into `*stamp`: false (errno set) when it cannot.
bool stamp_of(std::FILE* f, FileStamp* stamp);
/// Stamps the file at `path`, through links, into `*stamp`: false (errno set) when it cannot.
bool stamp_at(const char* path, FileStamp* stamp);

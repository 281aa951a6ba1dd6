// What a new version of a file is made with on each system, what it takes from the file it
// replaces, and how it is put in that file's place.
#pragma once

#include <cstdio>

/// Creates `path` for this user alone, open to read and write and locked: null (errno set) when it
/// cannot.
std::FILE* create_exclusive(const char* path);
/// A number that tells this process's files from another's.
unsigned long process_id();
/// Which step of copy_permissions or copy_privileges failed (errno set), each named for its call;
/// none when every step went.
enum class FailedStep { none, stat, chown, xattr, chattr, chmod };
/// Gives the new file `to` the owner, attributes, flags and mode of `from` (but what
/// copy_privileges gives), or its bits alone: none, or the step that failed.
FailedStep copy_permissions(const char* from, std::FILE* to, bool whole);
/// Gives the new file `path`, open as `f`, the access its folder gives new files: false (errno set)
/// when it cannot, or that is none.
bool inherit_access(const char* path, std::FILE* f);
/// Gives the new file `to`, after its last write, the set-id bits and capability of `from` that a
/// write takes off, read back: none, or the step that failed.
FailedStep copy_privileges(const char* from, std::FILE* to);
/// Replaces `to` by `from` in one rename: false (errno set, `to` as it was) when it cannot.
bool rename_over(const char* from, const char* to);
/// Whether a copy in place, which readers may see half done, is reported: on Windows, each one.
bool in_place_copy_said();

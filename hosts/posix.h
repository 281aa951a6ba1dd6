// What the POSIX sources share, and no other file includes: closing a descriptor after its work,
// what a file's mode makes of it, and opening a name on its folder's own mount.
#pragma once

#include <sys/types.h>

/// Closes `fd` after work that went as `done` says: `done`, with the work's errno, or false when
/// only the close failed.
bool close_after(int fd, bool done);
/// What a file of mode `mode` is, in not_regular's words ("a folder", ...): null for a regular
/// file.
const char* kind_of(mode_t mode);
/// Opens `path` with `flags` as open does with O_NOFOLLOW, but never into another mount nor
/// through a link on the way: -1 (errno set), EXDEV for a mount point.
int open_on_folder_mount(const char* path, int flags);

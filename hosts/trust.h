// Whether a file another user may have made or changed is to be trusted, and whether a killed
// run's leftover is this user's to remove.
#pragma once

#include <cstdio>

/// Why the stream's file, in a folder others may write, is not to be trusted: null when it is.
const char* untrusted(std::FILE* f, bool source);
/// Whether `path`, left by process `pid`, is a regular file of this user's that no process holds.
bool abandoned(const char* path, unsigned long pid);

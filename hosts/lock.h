// The lock that the program's instances take in turn for one file, on which the turn (turn.h)
// waits.
#pragma once

#include <cstdint>

/// The lock that the program's instances take in turn for one file: a lock file beside it.
using InstanceLock = std::intptr_t;
/// No lock held.
inline constexpr InstanceLock no_lock = -1;
/// How lock_take went: the lock taken, held by another process, or not to be had there.
enum LockResult { lock_taken, lock_busy, lock_unavailable };
/// Takes the lock file `path` without waiting: lock_taken, lock_busy, or lock_unavailable with
/// `*why` saying why.
LockResult lock_take(const char* path, InstanceLock* lock, const char** why);
/// Releases the lock and removes the lock file `path`: false (errno set) when it cannot.
bool lock_release(const char* path, InstanceLock lock);

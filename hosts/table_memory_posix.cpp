// The table's memory on POSIX systems: one anonymous mapping, its pages faulted in within the
// call; the heap under AddressSanitizer.
#include <sys/mman.h>

#include <cstdlib>

#include "table_memory.h"

namespace {

// AddressSanitizer watches the heap, not a mapping: under it the table is taken from the heap,
// where a write past its end is caught.
#if defined(__SANITIZE_ADDRESS__)
#define HOSTS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTS_ASAN 1
#endif
#endif
#ifndef HOSTS_ASAN
#define HOSTS_ASAN 0
#endif

// What an empty table points at: a valid address that is never read and never given back.
char no_slots[1];

}  // namespace

// One mapping whose pages the kernel faults in within the call: a million entries would
// otherwise take one trap for each of their 86,000 pages while the table is filled.
// 0 bytes give a valid pointer that is never read.
void* table_alloc(std::size_t bytes) {
    if (bytes == 0) return no_slots;
#if HOSTS_ASAN
    return std::malloc(bytes);
#else
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;
#endif
    void* table = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
    return table == MAP_FAILED ? nullptr : table;
#endif
}

void table_free(void* table, std::size_t bytes) {
    if (!table || bytes == 0) return;
#if HOSTS_ASAN
    std::free(table);
#else
    munmap(table, bytes);
#endif
}

// The table's memory on Windows: one allocation of virtual memory, committed up front.
#include <windows.h>

#include <cerrno>

#include "table_memory.h"

namespace {

// What an empty table points at: a valid address that is never read and never given back.
char no_slots[1];

}  // namespace

// Committed up front, so that filling the table finds its pages ready, not one at a time. 0 bytes
// give a valid pointer that is never read.
void* table_alloc(std::size_t bytes) {
    if (bytes == 0) return no_slots;
    void* table = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!table) errno = ENOMEM;
    return table;
}

void table_free(void* table, std::size_t bytes) {
    if (table && bytes != 0) VirtualFree(table, 0, MEM_RELEASE);
}

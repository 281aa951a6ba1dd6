// The memory of the entry table: taken at once for all its slots, and given back the same way.
#pragma once

#include <cstddef>

/// Takes `bytes` of memory for a table, committed at once: null (errno set) when there is none.
void* table_alloc(std::size_t bytes);
/// Gives back what table_alloc returned for `bytes`; does nothing for null.
void table_free(void* table, std::size_t bytes);

// The library's own allocations: every one is tagged with the library's module id and the
// caller's function and line, so that a leak or a double release can be traced to its site.
#pragma once

#include "kova/kova_mem.h"
#include "kova/kova_types.h"

#define KOVA_ALLOC(size) kova_mallocsubstandard(KOVA_MODULE_ID, (size), 0, __func__, __LINE__)
#define KOVA_FREE(ptr) kova_freesub((ptr), __func__, __LINE__)

// The calling thread's kernel tid from a per-thread cache: one thread-local load once known
// (initial-exec, also in the shared library). Locks take it on every call; a child of fork
// renews it (thread/ids.cpp).
#pragma once

#include <cstdint>

namespace kova::thread {

extern __thread std::int64_t own_tid_cache __attribute__((tls_model("initial-exec")));

std::int64_t own_tid_first();  // fills the cache with gettid()

inline std::int64_t own_tid()
{
    std::int64_t tid = own_tid_cache;
    return __builtin_expect(tid != 0, 1) ? tid : own_tid_first();
}

}  // namespace kova::thread

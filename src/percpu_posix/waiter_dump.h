// The short backtrace a spinlock waiter writes about itself (debug flag bit 0).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova::percpu {

// Writes one raw log line with the kernel tid and the three return addresses found after
// skipping `skip` frames; with none skipped the first is the return into the dump's caller.
void debug_dump_stack(unsigned skip);

// The text of a code address for the dump ("name+0x1c"); "" when the resolver does not know it.
void address_to_text(std::uintptr_t address, char *buffer, std::size_t size);

}  // namespace kova::percpu

#include "schedwork/diagnostics.h"

#include <cstdio>

#include "kova/kova_schedwork.h"
#include "kova/kova_symbol.h"

namespace kova::schedwork {

void symbol_text(std::uintptr_t address, char (&text)[kSymbolTextSize])
{
    if (kova_symbol_addr_to_string(address, text, sizeof text) == nullptr)
        std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
}

}  // namespace kova::schedwork

// The worker dumps its own stack into the log when signalled; the signal family provides that
// request. Until it does, the reports that precede each dump are all an overdue worker leaves.
extern "C" void sched_work_dump_thread_stack(uint32_t tid)
{
    static_cast<void>(tid);
}

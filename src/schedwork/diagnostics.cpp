#include "schedwork/diagnostics.h"

#include <unistd.h>

#include <cstdio>

#include "kova/kova_schedwork.h"
#include "kova/kova_signal.h"
#include "kova/kova_symbol.h"

namespace kova::schedwork {

void symbol_text(std::uintptr_t address, char (&text)[kSymbolTextSize])
{
    if (kova_symbol_addr_to_string(address, text, sizeof text) == nullptr)
        std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
}

}  // namespace kova::schedwork

// The worker dumps its own stack into the log from its signal handler.
extern "C" void sched_work_dump_thread_stack(uint32_t tid)
{
    dump_thread_stack_sig(static_cast<int32_t>(getpid()), static_cast<int32_t>(tid));
}

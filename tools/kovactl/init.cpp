#include <cstdint>
#include <cstdio>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

void show_step(const char *step, int status, uint64_t elapsed_ns, void *total_ns)
{
    *static_cast<uint64_t *>(total_ns) += elapsed_ns;
    std::printf("  %-36s %10.3f ms  %d\n", step, static_cast<double>(elapsed_ns) / 1e6, status);
}

// Brings the library up in this process step by step, then down again.
int run_init(int argc, char **)
{
    if (argc > 0) return usage_error();
    std::printf("  %-36s %13s  %s\n", "step", "time", "status");
    uint64_t total_ns = 0;
    int status = kova_init_traced(show_step, &total_ns);
    std::printf("kova_Init: %d after %.3f ms in the steps\n", status, static_cast<double>(total_ns) / 1e6);
    std::printf("kova_destory: %d\n", kova_destory());
    return status == 0 ? 0 : 1;
}

}  // namespace

KOVACTL_COMMAND("init", "run kova_Init step by step with each step's time and status, then kova_destory", run_init,
                "",
                "Takes no arguments. Runs the start-up chain in kovactl's own process and prints every step that ran "
                "(a failing step that stops the chain is the last one shown), its time and its status, then "
                "kova_Init's result and kova_destory's. The library's own messages go to standard error.",
                "0 when kova_Init succeeded, 1 when a step stopped the chain, 2 for a usage error.");

}  // namespace kovactl

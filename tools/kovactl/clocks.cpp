#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

std::uint32_t on_tick(std::uint64_t, std::uint32_t, std::uint64_t) { return 0; }

// A divider of 4 that keeps its children silent on every other firing of its own.
std::uint32_t gate(std::uint64_t time, std::uint32_t, std::uint64_t) { return time / 4 % 2 == 0 ? 1 : 0; }

}  // namespace

// A small divider tree run for a number of simulation steps: a reset of one branch halfway, a
// pause of another for a quarter of the run, then each module's history strip.
int run_clocks(int argc, char **argv)
{
    long steps = 64;
    if (argc > 1) return usage_error();
    if (argc == 1) {
        char *end = nullptr;
        steps = std::strtol(argv[0], &end, 10);
        if (end == argv[0] || *end != '\0' || steps < 1 || steps > 100000) return usage_error();
    }
    clkm_module_s root, half, third, sixth, gated, quarter;
    clkm_init(&root, on_tick, 0, "root");
    clkm_init(&half, on_tick, 0, "root/2");
    clkm_init(&third, on_tick, 0, "root/3");
    clkm_init(&sixth, on_tick, 0, "root/3/2");
    clkm_init(&gated, gate, 0, "root/4 gate");
    clkm_init(&quarter, on_tick, 0, "gate/1");
    clkm_reg_child_module(&root, &half, 2);
    clkm_reg_child_module(&root, &third, 3);
    clkm_reg_child_module(&third, &sixth, 2);
    clkm_reg_child_module(&root, &gated, 4);
    clkm_reg_child_module(&gated, &quarter, 1);
    for (long step = 0; step < steps; ++step) {
        if (step == steps / 2) clkm_reset(&third);
        if (step == steps / 4) clkm_disable(&half);
        if (step == steps / 2) clkm_enable(&half);
        clkm_run_simu(&root, static_cast<std::uint32_t>(step));
    }
    std::printf("%ld steps ('+' fired, '*' the last step; root/3 reset at %ld, root/2 paused from %ld to %ld)\n",
                steps, steps / 2, steps / 4, steps / 2);
    clkm_show_simu(&root, static_cast<std::uint32_t>(steps - 1), std::printf);
    return 0;
}

KOVACTL_COMMAND("clocks", "run a clock-module tree in simulation and show each module's history", run_clocks, "[STEPS]",
                "A root module with dividers of 2, 3 (and 2 below it) and a gate of 4 that silences its child on "
                "every other firing runs for STEPS simulation steps; root/3 is reset halfway and root/2 paused for "
                "the second quarter. Each module's history is then shown, '+' where it fired.\n\n"
                "  STEPS  number of steps, 1 to 100000 (default 64); the last 128 are shown");

}  // namespace kovactl

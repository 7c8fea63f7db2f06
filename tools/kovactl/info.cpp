#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "kova/kova.h"
#include "kova/kova_numa.h"
#include "kova/kova_sysinfo.h"
#include "kovalog/kovalog.h"

namespace kovactl {
namespace {

// "0-3,8" from a mask, as the kernel writes CPU lists.
std::string cpu_list(const kova_cpumask_t &mask)
{
    std::string text;
    const int none = static_cast<int>(KOVA_MAX_CPUS);
    for (int first = kova_first_cpu(&mask); first < none;) {
        int last = first, next = kova_next_cpu(first, &mask);
        while (next == last + 1) last = next, next = kova_next_cpu(last, &mask);
        text += (text.empty() ? "" : ",") + std::to_string(first) + (last > first ? "-" + std::to_string(last) : "");
        first = next;
    }
    return text.empty() ? "-" : text;
}

std::string bar(unsigned percent)
{
    return std::string(percent / 5, '#') + std::string(20 - percent / 5, '.');
}

void show_packages()
{
    uint32_t packages = 0, logical = 0;
    char model[64] = {};
    kova_get_phycpu_num(&packages);
    kova_get_logic_cpu_num(&logical);
    kova_get_cpumodel_info(model);
    std::printf("Processor   %s, %u package(s), %u logical CPU(s), %u online, cache line %u bytes\n", model, packages,
                logical, kova_sysinfo_cpu_num(), kova_get_cache_line_size());
    for (uint32_t package = 0; package < packages; ++package) {
        kova_cpumask_t mask{};
        if (kova_get_cpumask_by_phycpu(&mask, package) == 0)
            std::printf("  package %-3u CPUs %s\n", package, cpu_list(mask).c_str());
    }
    kova_cpumask_t nodes{};
    if (load_cpumask(&nodes, "/sys/devices/system/node/online", 0) < 0) return;
    for (int node = kova_first_cpu(&nodes); node < static_cast<int>(KOVA_MAX_CPUS); node = kova_next_cpu(node, &nodes)) {
        kova_cpumask_t mask{};
        std::string path = "/sys/devices/system/node/node" + std::to_string(node) + "/cpulist";
        load_cpumask(&mask, path.c_str(), 0);
        std::printf("  node %-6d CPUs %s\n", node, cpu_list(mask).c_str());
    }
}

void show_usage(unsigned sample_seconds)
{
    std::vector<uint32_t> usage(kova_sysinfo_present_cpu_num());
    int count = kova_get_cpu_usage_array(usage.data(), static_cast<uint32_t>(usage.size()));
    std::printf("Usage       over %u s: machine %3u%%  %s\n", sample_seconds, kova_sysinfo_cpu_usage(),
                bar(kova_sysinfo_cpu_usage()).c_str());
    for (int cpu = 0; cpu < count; ++cpu) std::printf("  cpu %-7d %3u%%  %s\n", cpu, usage[cpu], bar(usage[cpu]).c_str());
    std::printf("Memory      %u%% in use\n", kova_sysinfo_mem_usage());
}

void show_numa()
{
    int nodes = kova_numam_num_get();
    uint64_t used = 0;
    kova_numam_proc_numamask_get(&used);
    std::printf("NUMA configuration: %d node(s), placement %s\n", nodes, kova_numam_status_get() != 0 ? "on" : "off");
    if (nodes > 0) std::printf("  %-6s %-5s %s\n", "Node", "Used", "CPUs");
    for (int node = 0; node < nodes; ++node) {
        kova_cpumask_t mask{};
        if (kova_numam_cpumask_get(node, &mask) == 0)
            std::printf("  %-6d %-5s %s\n", node, (used >> (node % 64) & 1) != 0 ? "yes" : "no", cpu_list(mask).c_str());
    }
}

}  // namespace

// The machine as this library sees it: packages and nodes, per-CPU usage over one sample
// interval, memory, and the product's NUMA and partition tables.
int run_info(int argc, char **)
{
    if (argc != 0) return usage_error();
    kovalog_loglevel_set(KOVA_MODULE_ID, 2);  // failures show as gaps in the tables, not log lines
    if (cpuinfo_init() != 0) std::puts("Processor   unknown (see the log)");
    else show_packages();
    if (sysinfo_init() == 0) {
        sysinfo_update_all_cpu_usage();
        kova_10msleep(100);
        sysinfo_update_all_cpu_usage();
        show_usage(1);
        sysinfo_exit();
    }
    kova_numam_init(nullptr);
    show_numa();
    std::puts("CPU partitions:");
    if (kova_cpum_init(nullptr) != 0 || kova_cpum_dbg_show(std::printf) != 0) std::puts("  none (no product configuration)");
    return 0;
}

KOVACTL_COMMAND("info", "show packages, CPUs, nodes, usage, memory and the NUMA and partition tables", run_info, "",
                "Takes no arguments. CPU usage is sampled over one second. What cannot be read shows as a gap in "
                "the tables.",
                "0, or 2 for a usage error.");

}  // namespace kovactl

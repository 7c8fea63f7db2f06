#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

// "0-3,8,10-11": runs of consecutive CPUs become ranges.
std::string cpu_list(const kova_cpumask_t &mask)
{
    std::string text;
    for (int cpu = kova_first_cpu(&mask); cpu < static_cast<int>(KOVA_MAX_CPUS);) {
        int last = cpu, next = kova_next_cpu(static_cast<uint32_t>(cpu), &mask);
        while (next == last + 1) last = next, next = kova_next_cpu(static_cast<uint32_t>(next), &mask);
        text += (text.empty() ? "" : ",") + std::to_string(cpu) + (last > cpu ? "-" + std::to_string(last) : "");
        cpu = next;
    }
    return text.empty() ? "(none)" : text;
}

void show_list(const char *label, kova_cpumask_t *mask, const std::string &path)
{
    init_cpumask_bit(mask->bits, static_cast<int>(KOVA_MAX_CPUS / 64));
    if (load_cpumask(mask, path.c_str(), static_cast<int>(path.size())) < 0)
        std::printf("%-16s unavailable (%s)\n", label, path.c_str());
    else
        std::printf("%-16s %s\n", label, cpu_list(*mask).c_str());
}

std::vector<unsigned> numa_nodes()
{
    std::vector<unsigned> nodes;
    if (DIR *dir = opendir("/sys/devices/system/node")) {
        while (const dirent *entry = readdir(dir)) {
            unsigned node = 0;
            char rest = 0;
            if (std::sscanf(entry->d_name, "node%u%c", &node, &rest) == 1) nodes.push_back(node);
        }
        closedir(dir);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

int run_cpus(int argc, char **)
{
    if (argc > 0) return usage_error();
    cpumask_init();
    globalCpuNum_init();
    std::printf("%-16s %u\n%-16s %u\n", "configured cpus:", num_config_cpus(), "online cpus:", num_online_cpus());
    const std::string cpu = "/sys/devices/system/cpu/";
    show_list("online:", cpu_online_mask, cpu + "online");
    show_list("possible:", cpu_possible_mask, cpu + "possible");
    show_list("present:", cpu_present_mask, cpu + "present");
    for (unsigned node : numa_nodes()) {
        kova_cpumask_t mask{};
        std::string label = "node" + std::to_string(node) + ":";
        show_list(label.c_str(), &mask, "/sys/devices/system/node/node" + std::to_string(node) + "/cpulist");
    }
    return 0;
}

}  // namespace

KOVACTL_COMMAND("cpus", "CPU counts and the kernel's online, possible, present and per-node CPU lists", run_cpus, "",
                "Takes no arguments. A list the kernel does not publish is shown as unavailable.",
                "0, or 2 for a usage error.");

}  // namespace kovactl

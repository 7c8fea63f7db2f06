#include <sys/wait.h>

#include <cstdio>
#include <cstring>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

void show_time_base()
{
    jiffies_Init();
    std::printf("time base\n");
    std::printf("  ns per count        %llu\n", static_cast<unsigned long long>(kova_time_cycles2ns(1)));
    std::printf("  counter             %llu\n", static_cast<unsigned long long>(kova_rte_get_timer_cycles()));
    std::printf("  nanoseconds         %llu\n", static_cast<unsigned long long>(kova_time_getnanosec()));
    std::printf("  milliseconds        %llu\n", static_cast<unsigned long long>(kova_time_getmillisec()));
    std::printf("  jiffies (4 ms)      %llu\n", static_cast<unsigned long long>(kova_get_jiffies()));
    kova_estimate_tsc_freq();
    std::printf("  counter rate        %.2f GHz (measured over 50 ms, 10 MHz steps)\n", currCpuGHz);
    if (kova_get_tsc_freq() == 0)
        std::printf("  processor rate      %.2f GHz (model line of /proc/cpuinfo, else measured)\n", currCpuGHz);
    else
        std::printf("  processor rate      unknown (no constant_tsc flag in /proc/cpuinfo)\n");
    std::printf("  version stamp       %llu\n", static_cast<unsigned long long>(ps_get_version()));
}

void show_module_names()
{
    pid_init_names();
    kova_pid_set_name(KOVA_MODULE_ID, "KOVA");
    std::printf("module names\n");
    const uint32_t ids[] = {1, 5, 100, KOVA_MODULE_ID, 1023, 70000};
    for (uint32_t id : ids) std::printf("  %-6u %s\n", id, kova_pid_get_name(id));
}

void show_memory()
{
    std::printf("memory\n");
    uint64_t total = 0, free_kb = 0, page = 0;
    if (kova_get_total_mem(&total) == 0) std::printf("  total               %llu kB\n", static_cast<unsigned long long>(total));
    if (kova_get_free_mem(&free_kb) == 0) std::printf("  free                %llu kB\n", static_cast<unsigned long long>(free_kb));
    std::printf("  in use              %d %%\n", kova_get_available_usage());
    if (kova_get_sys_page_size(&page) == 0) std::printf("  page size           %llu bytes\n", static_cast<unsigned long long>(page));
    uint64_t board = 0;
    int rc = kova_get_memsize_from_bsp(&board);
    if (rc == 0) std::printf("  board memory        %llu\n", static_cast<unsigned long long>(board));
    else std::printf("  board memory        unknown (no board report on this machine)\n");
    kova_mem_stat_add(KOVA_MODULE_ID, 4096);
    kova_mem_stat_add(100, 1000);
    kova_mem_show(std::printf);
    kova_mem_stat_sub(KOVA_MODULE_ID, 4096);
    kova_mem_stat_sub(100, 1000);
}

void show_commands()
{
    std::printf("filtered commands\n");
    FILE *stream = kova_popen_s("uname -sm", "r", nullptr);
    char line[256] = "";
    if (stream != nullptr) {
        if (std::fgets(line, sizeof line, stream) == nullptr) line[0] = '\0';
        int status = kova_pclose(stream);
        line[std::strcspn(line, "\n")] = '\0';
        std::printf("  kova_popen_s(\"uname -sm\")      -> \"%s\", exit %d\n", line, WEXITSTATUS(status));
    }
    std::printf("  kova_system_s(\"true; false\")   -> %d (refused: ';' not allowed)\n",
                kova_system_s("true; false", nullptr));
    int status = kova_system_s("exit 3", nullptr);
    std::printf("  kova_system_s(\"exit 3\")        -> exit %d\n", WEXITSTATUS(status));
}

}  // namespace

int run_demo(int argc, char **)
{
    if (argc > 0) return usage_error();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keep our lines in order with the log on stderr
    kova_log_init(nullptr, 6);
    show_time_base();
    show_module_names();
    show_memory();
    show_commands();
    return 0;
}

KOVACTL_COMMAND("demo", "bring the library up and show the time base, module names, memory and a command", run_demo, "",
                "Takes no arguments. Logs to standard error at level 6; runs only 'uname -sm' and two harmless shell "
                "commands through the metacharacter filter.",
                "0, or 2 for a usage error.");

}  // namespace kovactl

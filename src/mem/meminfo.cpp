#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_mem.h"
#include "kova/kova_str.h"
#include "mem/mem_internal.h"
#include "platform/bounded.h"
#include "platform/paths.h"

KOVA_LOG_SOURCE("mem/kova_mem")

namespace {

std::mutex total_mem_lock;
bool total_mem_known = false;
std::uint64_t total_mem_kb = 0;

// Lines are "Name:   <number> kB" or, for counts, "Name:   <number>" without a unit; a scan
// across line ends would take the next line's name for a unit, so each line is scanned alone.
bool scan_line(const char *line, const char *key, std::uint64_t *value)
{
    char name[129];
    char unit[5];
    std::uint64_t number = 0;
    int fields = kova::sec::sscanf_s(line, "%128s %" SCNu64 " %4s", name, &number, unit);
    if (fields < 2 || std::strcmp(name, key) != 0) return false;
    *value = number;
    return true;
}

void skip_rest_of_line(std::FILE *file)
{
    int c;
    do {
        c = std::fgetc(file);
    } while (c != '\n' && c != EOF);
}

}  // namespace

namespace kova::mem {

int meminfo_value(const char *key, std::uint64_t *value)
{
    if (key == nullptr || value == nullptr) {
        KOVA_LOG(kova::log::kError, "Parameter is null.");
        return -1;
    }
    kova::platform::ProductPath path("/proc/meminfo");
    std::FILE *file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        KOVA_LOG(kova::log::kInfo, "Fopen /proc/meminfo fail errno %d.", errno);
        return -1;
    }
    char line[256];
    int result = -1;
    *value = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        bool whole_line = std::strchr(line, '\n') != nullptr;
        if (scan_line(line, key, value)) {
            result = 0;
            break;
        }
        if (!whole_line) skip_rest_of_line(file);
    }
    std::fclose(file);
    return result;
}

namespace detail {

void reset_total_mem()
{
    std::lock_guard guard(total_mem_lock);
    total_mem_known = false;
    total_mem_kb = 0;
}

}  // namespace detail
}  // namespace kova::mem

extern "C" int kova_get_free_mem(uint64_t *kilobytes)
{
    return kova::mem::meminfo_value("MemFree:", kilobytes);
}

extern "C" int kova_get_total_mem(uint64_t *kilobytes)
{
    if (kilobytes == nullptr) {
        KOVA_LOG(kova::log::kError, "Parameter is null.");
        return -1;
    }
    // The installed memory does not change while we run: read it once.
    std::lock_guard guard(total_mem_lock);
    if (!total_mem_known) {
        std::uint64_t value = 0;
        if (kova::mem::meminfo_value("MemTotal:", &value) != 0) return -1;
        total_mem_kb = value;
        total_mem_known = true;
    }
    *kilobytes = total_mem_kb;
    return 0;
}

extern "C" int kova_get_available_usage(void)
{
    std::uint64_t total = 0;
    std::uint64_t available = 0;
    if (kova_get_total_mem(&total) != 0 || total == 0) return 0;
    if (kova::mem::meminfo_value("MemAvailable:", &available) != 0 || available > total) return 0;
    return static_cast<int>((total - available) * 100 / total);
}

extern "C" int kova_release_mem(void)
{
    return kova_system_s("sync;echo 3 > /proc/sys/vm/drop_caches;", ";>") == 0 ? 0 : -1;
}

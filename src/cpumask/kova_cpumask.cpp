#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "cpumask/cpu_list.h"
#include "init/kova_log.h"
#include "kova/kova_bitops.h"
#include "kova/kova_cpumask.h"

KOVA_LOG_SOURCE("cpumask/kova_cpumask")

namespace {

kova_cpumask_t possible_mask;
kova_cpumask_t online_mask;
kova_cpumask_t present_mask;

std::mutex init_lock;
uint32_t init_done = 0;

constexpr std::size_t kLineBytes = 256;

void clear_mask(kova_cpumask_t *mask)
{
    if (mask != nullptr) init_cpumask_bit(mask->bits, KOVA_MAX_CPUS / 64);
}

}  // namespace

kova_cpumask_t *cpu_possible_mask = &possible_mask;
kova_cpumask_t *cpu_online_mask = &online_mask;
kova_cpumask_t *cpu_present_mask = &present_mask;

extern "C" {

int kova_set_cpumask_bit(kova_cpumask_t *mask, const char *item)
{
    if (mask == nullptr || item == nullptr) return -1;
    std::string_view text = kova::cpumask::trim_blanks(item);
    const int length = static_cast<int>(text.size());
    auto range = kova::cpumask::read_cpu_range(text);
    if (!range) {
        // A blank item is where the C library's reader reports EOF (-1).
        if (text.empty())
            KOVA_LOG(kova::log::kError, "sscanf_s failed.ret is %d.", EOF);
        else
            KOVA_LOG(kova::log::kError, "Invalid cpu list item:%.*s.", length, text.data());
        return -1;
    }
    if (range->first >= KOVA_MAX_CPUS || range->last >= KOVA_MAX_CPUS) {
        KOVA_LOG(kova::log::kError, "Cpu list item %.*s is beyond cpu %u.", length, text.data(), KOVA_MAX_CPUS - 1);
        return -1;
    }
    auto *bytes = reinterpret_cast<unsigned char *>(mask->bits);
    for (uint32_t cpu = range->first; cpu <= range->last; ++cpu) bytes[cpu / 8] |= static_cast<unsigned char>(1u << (cpu % 8));
    return static_cast<int>(range->last);
}

int load_cpumask(kova_cpumask_t *mask, const char *path, int)
{
    if (path == nullptr) return -1;
    char line[kLineBytes] = {};
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) return -1;
    char *read = std::fgets(line, sizeof line, file);
    std::fclose(file);
    if (read == nullptr) return -1;
    if (line[0] == '\n') return 0;

    int highest = 0;
    for (char *item = line;;) {
        char *comma = std::strchr(item, ',');
        if (comma != nullptr) *comma = '\0';
        if (int last = kova_set_cpumask_bit(mask, item); last > highest) highest = last;
        if (comma == nullptr) break;
        item = comma + 1;
    }
    return highest;
}

int kova_first_cpu(const kova_cpumask_t *mask)
{
    if (mask == nullptr) return KOVA_MAX_CPUS;
    uint64_t cpu = find_first_bit(mask->bits, KOVA_MAX_CPUS);
    return static_cast<int>(cpu < KOVA_MAX_CPUS ? cpu : KOVA_MAX_CPUS);
}

int kova_next_cpu(uint32_t cpu, const kova_cpumask_t *mask)
{
    if (mask == nullptr) return KOVA_MAX_CPUS;
    uint64_t next = find_next_bit(mask->bits, KOVA_MAX_CPUS, uint64_t{cpu} + 1);
    return static_cast<int>(next < KOVA_MAX_CPUS ? next : KOVA_MAX_CPUS);
}

void init_cpumask_bit(uint64_t *words, int count)
{
    if (words == nullptr || count <= 0) return;
    std::memset(words, 0, sizeof *words * static_cast<std::size_t>(count));
}

int cpumask_init(void)
{
    std::atomic_ref done(init_done);
    if (done.load(std::memory_order_acquire) == 1) return 0;
    std::lock_guard guard(init_lock);
    if (done.load(std::memory_order_relaxed) != 1) {
        clear_mask(cpu_possible_mask);
        clear_mask(cpu_online_mask);
        clear_mask(cpu_present_mask);
        done.store(1, std::memory_order_release);
    }
    return 0;
}

}  // extern "C"

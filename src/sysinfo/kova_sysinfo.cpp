#include <sys/sysinfo.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_cfg.h"
#include "kova/kova_cpumask.h"
#include "kova/kova_mem.h"
#include "kova/kova_sched.h"
#include "kova/kova_strutil.h"
#include "kova/kova_sysinfo.h"
#include "kova/kova_thrd.h"
#include "platform/paths.h"
#include "sysinfo/sysinfo_internal.h"

KOVA_LOG_SOURCE("sysinfo/kova_sysinfo")

namespace {

constexpr const char *kStatPath = "/proc/stat";
constexpr int kLineSize = 160;
constexpr unsigned kFields = 7;  // user nice system idle iowait irq softirq
constexpr uint32_t kCacheLine = 128;
constexpr auto kPeriod = std::chrono::seconds(1);
constexpr auto kExitWait = std::chrono::seconds(3);

long system_present_cpus() { return sysconf(_SC_NPROCESSORS_CONF); }
std::atomic<kova::sysinfo::CpuCountSource> present_source{&system_present_cpus};
std::atomic<uint32_t> present_count{0};

// Slot 0 is the machine, slot n + 1 CPU n. The sampler writes under sample_lock; readers load a
// single percentage, so the usage words are reached atomically.
std::mutex sample_lock;
std::atomic<uint32_t *> usage{nullptr};
uint64_t *last_idle = nullptr;
uint64_t *last_total = nullptr;
std::atomic<uint32_t> slots{0};

std::mutex init_lock;
bool initialised = false;

// The sampler's pause ends early when it is asked to stop, so sysinfo_exit does not wait out
// the second; `running` tells sysinfo_exit when the thread has left the arrays for good.
std::mutex stop_lock;
std::condition_variable stop_changed;
bool stop_requested = false;
bool running = false;

std::atomic<uint32_t> cache_line{0xFFFFFFFFu};

std::atomic_ref<uint32_t> slot_word(uint32_t *array, uint32_t slot) { return std::atomic_ref<uint32_t>(array[slot]); }

// Differences are taken modulo 2^64, so a counter that wrapped still gives its true advance; the
// product needs 128 bits. An idle advance above the total (hostile input) reads as idle.
void update_slot(uint32_t slot, uint64_t idle, uint64_t total)
{
    uint32_t *percentages = usage.load(std::memory_order_relaxed);
    if (percentages == nullptr || last_idle == nullptr || last_total == nullptr) return;
    if (uint64_t elapsed = total - last_total[slot]; elapsed != 0) {
        uint64_t idled = idle - last_idle[slot];
        uint64_t busy = idled < elapsed ? elapsed - idled : 0;
        auto percent = static_cast<uint32_t>(static_cast<unsigned __int128>(busy) * 100 / elapsed);
        slot_word(percentages, slot).store(percent, std::memory_order_relaxed);
    }
    last_idle[slot] = idle;
    last_total[slot] = total;
}

// One line of /proc/stat: "cpu" then, for a CPU line, its number without a blank, then up to
// seven counters (a counter beyond 64 bits reads as the largest value). Returns how many
// numbers were read, the CPU number counting as one, as sscanf would.
int read_stat_line(const char *line, bool cpu_line, unsigned &cpu, uint64_t (&fields)[kFields])
{
    if (std::strncmp(line, "cpu", 3) != 0) return 0;
    const char *at = line + 3, *end = line + std::strlen(line);
    int read = 0;
    if (cpu_line) {
        auto [next, error] = std::from_chars(at, end, cpu);
        if (error != std::errc() || next == at) return 0;
        at = next;
        ++read;
    } else if (at == end || (*at != ' ' && *at != '\t')) {
        return 0;
    }
    for (auto &field : fields) {
        while (at < end && (*at == ' ' || *at == '\t')) ++at;
        auto [next, error] = std::from_chars(at, end, field);
        if (next == at) break;
        if (error == std::errc::result_out_of_range) field = UINT64_MAX;
        at = next;
        ++read;
    }
    return read;
}

// fgets into the 160-byte buffer, dropping the rest of a longer line, so that its tail is
// never taken for the next line.
bool read_line(std::FILE *file, char (&line)[kLineSize])
{
    if (std::fgets(line, sizeof line, file) == nullptr) return false;
    if (std::strchr(line, '\n') == nullptr)
        for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file)) {}
    return true;
}

void take_sample(std::FILE *file, const char *path)
{
    char line[kLineSize];
    uint64_t fields[kFields] = {};
    unsigned cpu = 0;
    auto sums = [&fields] {
        uint64_t total = 0;
        for (uint64_t field : fields) total += field;
        return total;
    };
    if (!read_line(file, line)) {
        KOVA_LOG_AS("sysinfo_update_all_cpu_usage", kova::log::kError, "Get CPU stat (%s) file failed.", path);
        return;
    }
    if (read_stat_line(line, false, cpu, fields) < 4) return;
    update_slot(0, fields[3], sums());
    const uint32_t count = slots.load(std::memory_order_relaxed);
    for (uint32_t n = 1; n < count; ++n) {
        if (!read_line(file, line)) {
            KOVA_LOG_AS("sysinfo_update_all_cpu_usage", kova::log::kError, "Get CPU stat (%s) file failed.", path);
            return;
        }
        std::memset(fields, 0, sizeof fields);
        if (read_stat_line(line, true, cpu, fields) < 5) return;
        if (cpu < count - 1) update_slot(cpu + 1, fields[3], sums());
    }
}

void free_arrays()
{
    std::lock_guard guard(sample_lock);
    uint32_t *percentages = usage.exchange(nullptr);
    slots.store(0);
    kova_freesub(percentages, "sysinfo_free_mem", __LINE__);
    kova_freesub(last_idle, "sysinfo_free_mem", __LINE__);
    kova_freesub(last_total, "sysinfo_free_mem", __LINE__);
    last_idle = last_total = nullptr;
}

bool sampler_switched_off()
{
    char value[KOVA_CFG_RECORD_VALUE_SIZE] = {};
    return kova_cfg_getItemValue("KOVA", "SYSINFO_CPUUSAGE_THREAD_FLAG", value, sizeof value) == 0 &&
           kova_str_tou64(value) == 0;
}

}  // namespace

namespace kova::sysinfo {

void set_present_cpu_source_for_test(CpuCountSource source)
{
    present_source.store(source != nullptr ? source : &system_present_cpus);
    present_count.store(0);
}

bool sampler_running_for_test()
{
    std::lock_guard guard(stop_lock);
    return running;
}

}  // namespace kova::sysinfo

extern "C" {

unsigned int sysinfo_get_cpu_num(void)
{
    auto count = static_cast<int32_t>(sysconf(_SC_NPROCESSORS_ONLN));
    if (count >= 0) return static_cast<unsigned>(count);
    KOVA_LOG(kova::log::kError, "kova_sysinfo getting online cpu num failed errno=%d.", errno);
    return 0;
}

unsigned int kova_sysinfo_cpu_num(void) { return num_online_cpus(); }

unsigned int kova_sysinfo_present_cpu_num(void)
{
    if (uint32_t known = present_count.load(std::memory_order_relaxed); known != 0) return known;
    auto count = static_cast<int32_t>(present_source.load()());
    if (count < 0) return 0;
    present_count.store(static_cast<uint32_t>(count), std::memory_order_relaxed);
    return count;
}

int sysinfo_alloc_mem(void)
{
    uint32_t count = kova_sysinfo_present_cpu_num();
    if (count == 0) return -1;
    if (count > INT32_MAX / 8 - 1) return -ENOMEM;
    const auto entries = static_cast<int32_t>(count + 1);
    std::lock_guard guard(sample_lock);
    if (usage.load() != nullptr) return 0;
    auto *percentages = static_cast<uint32_t *>(kova_mallocsubstandard(KOVA_MODULE_ID, entries * 4, 0, __func__, __LINE__));
    auto *idle = static_cast<uint64_t *>(kova_mallocsubstandard(KOVA_MODULE_ID, entries * 8, 0, __func__, __LINE__));
    auto *total = static_cast<uint64_t *>(kova_mallocsubstandard(KOVA_MODULE_ID, entries * 8, 0, __func__, __LINE__));
    const char *failure = percentages == nullptr ? "kova_sysinfo alloc g_puiCpuUsage mem failed."
                          : idle == nullptr      ? "Kova_sysinfo alloc g_pullCpuLastIdle mem failed."
                          : total == nullptr     ? "kova_sysinfo alloc g_pullCpuLastTotal mem failed."
                                                 : nullptr;
    if (failure != nullptr) {
        KOVA_LOG(kova::log::kError, "%s", failure);
        for (void *array : {static_cast<void *>(percentages), static_cast<void *>(idle), static_cast<void *>(total)})
            if (array != nullptr) kova_freesub(array, __func__, __LINE__);
        return -ENOMEM;
    }
    std::memset(percentages, 0, entries * 4);
    std::memset(idle, 0, entries * 8);
    std::memset(total, 0, entries * 8);
    last_idle = idle;
    last_total = total;
    slots.store(count + 1);
    usage.store(percentages, std::memory_order_release);
    return 0;
}

void sysinfo_free_mem(void)
{
    if (usage.load() != nullptr) free_arrays();
}

void sysinfo_update_all_cpu_usage(void)
{
    kova::platform::ProductPath path(kStatPath);
    std::FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        KOVA_LOG(kova::log::kError, "Open cpu stat file %s failed.", path.c_str());
        return;
    }
    {
        std::lock_guard guard(sample_lock);
        take_sample(file, path.c_str());
    }
    std::fclose(file);
}

void *sysinfo_calc_cpu_usage_thrd(void *)
{
    kova_set_process_name("kova_sysinfo", nullptr);
    kova_setCurThreadStrategy(5);
    std::unique_lock lock(stop_lock);
    while (!stop_requested) {
        lock.unlock();
        sysinfo_update_all_cpu_usage();
        lock.lock();
        stop_changed.wait_for(lock, kPeriod, [] { return stop_requested; });
    }
    running = false;
    stop_changed.notify_all();
    return nullptr;
}

int sysinfo_init(void)
{
    std::lock_guard guard(init_lock);
    if (initialised) return 0;
    cache_line.store(kCacheLine);
    if (int result = sysinfo_alloc_mem(); result != 0) return result;
    if (!sampler_switched_off()) {
        std::lock_guard stop_guard(stop_lock);
        stop_requested = false;
        // A thread abandoned by an earlier exit is still sampling: it simply carries on.
        if (!running) {
            pthread_t thread;
            if (int result = create_thread_nopreempt_raw(sysinfo_calc_cpu_usage_thrd, nullptr, &thread); result != 0) {
                sysinfo_free_mem();
                return result;
            }
            running = true;
        }
    }
    initialised = true;
    return 0;
}

int sysinfo_exit(void)
{
    std::lock_guard guard(init_lock);
    if (!initialised) return 0;
    {
        std::unique_lock lock(stop_lock);
        stop_requested = true;
        stop_changed.notify_all();
        if (!stop_changed.wait_for(lock, kExitWait, [] { return !running; }))
            KOVA_LOG(kova::log::kError, "kova_cpu_usage thread exited abnormal.");
    }
    sysinfo_free_mem();
    initialised = false;
    return 0;
}

unsigned int kova_sysinfo_cpu_usage(void)
{
    uint32_t *percentages = usage.load(std::memory_order_acquire);
    return percentages != nullptr ? slot_word(percentages, 0).load(std::memory_order_relaxed) : 0;
}

unsigned int kova_sysinfo_core_usage(const uint32_t *cpu)
{
    uint32_t *percentages = usage.load(std::memory_order_acquire);
    if (percentages == nullptr) return 0;
    uint32_t slot = cpu != nullptr && *cpu < slots.load(std::memory_order_relaxed) - 1 ? *cpu + 1 : 0;
    return slot_word(percentages, slot).load(std::memory_order_relaxed);
}

int kova_get_cpu_usage_array(uint32_t *array, uint32_t length)
{
    if (array == nullptr) {
        KOVA_LOG(kova::log::kError, "kova_get_cpu_usage_array: data is NULL");
        return -1;
    }
    uint32_t *percentages = usage.load(std::memory_order_acquire);
    if (percentages == nullptr) return -1;
    uint32_t count = std::min(slots.load(std::memory_order_relaxed) - 1, length);
    for (uint32_t n = 0; n < count; ++n) array[n] = slot_word(percentages, n + 1).load(std::memory_order_relaxed);
    return static_cast<int>(count);
}

unsigned int kova_sysinfo_mem_usage(void)
{
    struct sysinfo info {};
    if (sysinfo(&info) != 0 || info.totalram == 0) return 0;
    auto used = static_cast<unsigned __int128>(info.totalram - std::min(info.freeram, info.totalram));
    return static_cast<unsigned>(used * 100 / info.totalram);
}

unsigned int kova_get_cache_line_size(void)
{
    uint32_t expected = 0xFFFFFFFFu;
    cache_line.compare_exchange_strong(expected, kCacheLine);
    return cache_line.load();
}

}  // extern "C"

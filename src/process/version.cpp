#include <time.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_log.h"

KOVA_LOG_SOURCE("process/kova_process")

namespace {
std::atomic<bool> version_done{false};
std::atomic<std::uint64_t> version_stamp{0};
std::mutex version_lock;
}  // namespace

extern "C" uint64_t ps_get_version(void)
{
    if (!version_done.load(std::memory_order_acquire)) {
        std::lock_guard guard(version_lock);
        if (!version_done.load(std::memory_order_relaxed)) {
            timespec now{};
            int rc = clock_gettime(CLOCK_MONOTONIC_RAW, &now);
            if (rc == 0)
                version_stamp.store(static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
                                    static_cast<std::uint64_t>(now.tv_nsec));
            else
                KOVA_LOG(kova::log::kInfo, "Clock_gettime fail ret:%d errno:%d", rc, errno);
            version_done.store(true, std::memory_order_release);
        }
    }
    return version_stamp.load(std::memory_order_relaxed);
}

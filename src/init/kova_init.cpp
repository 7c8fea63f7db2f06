#include <execinfo.h>
#include <pthread.h>

#include <atomic>

#include "init/init_steps.h"
#include "init/kova_log.h"
#include "kova/kova_init.h"
#include "platform/clock.h"

KOVA_LOG_SOURCE("init/kova_init")

namespace kova::init {
namespace {

// Error-checking: a call from inside the chain (an observer, a log callback) fails to lock
// instead of deadlocking, and the documented answer to a failed lock applies.
pthread_mutex_t init_mutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;
std::atomic<std::uint32_t> done{0};

template <typename Function>
Function replace_locked(Function &slot, Function run)
{
    pthread_mutex_lock(&init_mutex);
    Function previous = slot;
    slot = run;
    pthread_mutex_unlock(&init_mutex);
    return previous;
}

std::uint64_t now_ns()
{
    timespec now{};
    kova::platform::monotonic_now(&now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// The status of the aborting step that failed, or 0.
int kova_init_inner(kova_init_observer_t observer, void *arg)
{
    for (const Step &step : steps) {
        std::uint64_t start = observer != nullptr ? now_ns() : 0;
        int status = step.run();
        if (observer != nullptr) observer(step.name, status, now_ns() - start, arg);
        if (status == 0 || step.on_failure == OnFailure::kIgnored) continue;
        KOVA_LOG(kova::log::kError, "%s", step.message);
        if (step.on_failure == OnFailure::kAborts) return status;
    }
    return 0;
}

}  // namespace

StepFunction replace_step(std::size_t index, StepFunction run) { return replace_locked(steps[index].run, run); }

StepFunction replace_teardown(std::size_t index, StepFunction run) { return replace_locked(teardowns[index], run); }

std::uint32_t done_flag() { return done.load(std::memory_order_acquire); }

}  // namespace kova::init

using namespace kova::init;

extern "C" int kova_glibc_init(void)
{
    void *frames[3];
    return backtrace(frames, 3);
}

extern "C" int kova_init_traced(kova_init_observer_t observer, void *arg)
{
    if (done.load(std::memory_order_acquire) == 1) return 0;
    if (pthread_mutex_lock(&init_mutex) != 0) return 0;
    if (done.load(std::memory_order_relaxed) == 1) {
        pthread_mutex_unlock(&init_mutex);
        return 0;
    }
    KOVA_LOG_AS("kova_Init", kova::log::kInfo, "Kova init start.");
    int status = kova_init_inner(observer, arg);
    KOVA_LOG_AS("kova_Init", kova::log::kInfo, "Kova init end ret %d.", status);
    done.store(status == 0 ? 1 : 0, std::memory_order_release);
    pthread_mutex_unlock(&init_mutex);
    return status == 0 ? 0 : -1;
}

extern "C" int kova_Init(void) { return kova_init_traced(nullptr, nullptr); }

extern "C" int kova_destory(void)
{
    if (done.load(std::memory_order_acquire) == 0) return 0;
    if (int error = pthread_mutex_lock(&init_mutex); error != 0) return error;
    if (done.load(std::memory_order_relaxed) == 0) return pthread_mutex_unlock(&init_mutex);
    KOVA_LOG(kova::log::kInfo, "Kova destroy start.");
    for (StepFunction teardown : teardowns) (void)teardown();
    KOVA_LOG(kova::log::kInfo, "Kova destroy end.");
    done.store(0, std::memory_order_release);
    return pthread_mutex_unlock(&init_mutex);
}

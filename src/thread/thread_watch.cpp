#include <sys/mman.h>

#include <atomic>
#include <mutex>

#include "kova/kova_shm.h"
#include "kova/kova_thrd.h"
#include "thread/thread_watch.h"

namespace {

// The word other processes watch: the value is written before the magic that vouches for it.
struct WatchWord {
    uint32_t magic;
    uint32_t value;
};

std::mutex watch_lock;
std::atomic<WatchWord *> watch_word{nullptr};

// Mapped once and kept for the life of the process; a failure is retried by the next call.
WatchWord *watch()
{
    if (WatchWord *word = watch_word.load(std::memory_order_acquire)) return word;
    std::lock_guard guard(watch_lock);
    if (WatchWord *word = watch_word.load(std::memory_order_relaxed)) return word;
    auto *word = static_cast<WatchWord *>(kova_shm_create("kovaThreadWatch", sizeof(WatchWord)));
    watch_word.store(word, std::memory_order_release);
    return word;
}

void publish(WatchWord *word, uint32_t value)
{
    std::atomic_ref(word->value).store(value, std::memory_order_relaxed);
    std::atomic_ref(word->magic).store(KOVA_THREAD_WATCH_MAGIC, std::memory_order_release);
}

}  // namespace

void kova::thread::reset_thread_watch_for_test()
{
    std::lock_guard guard(watch_lock);
    if (WatchWord *word = watch_word.exchange(nullptr)) munmap(word, sizeof(WatchWord));
}

extern "C" int kova_thread_watch_add(uint32_t value)
{
    WatchWord *word = watch();
    if (word == nullptr) return -1;
    publish(word, value);
    return 0;
}

extern "C" int kova_thread_watch_del(void)
{
    if (WatchWord *word = watch()) publish(word, 0);
    return 0;
}

extern "C" uint32_t kova_thread_watch_get(void)
{
    WatchWord *word = watch();
    if (word == nullptr || std::atomic_ref(word->magic).load(std::memory_order_acquire) != KOVA_THREAD_WATCH_MAGIC)
        return 0;
    return std::atomic_ref(word->value).load(std::memory_order_relaxed);
}

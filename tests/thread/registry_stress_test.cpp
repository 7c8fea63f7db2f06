#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <latch>
#include <vector>

#include "thread_test.h"

namespace {

using kova::test::wait_until;

int listed_lines;
int count_line(const char *, ...) { return ++listed_lines; }
std::atomic<std::size_t> parked{0};  // static: a thread's last touch must outlive the test

// More threads alive at once than the registry holds: the first KOVA_THRD_SLOTS are listed and
// findable, the rest run with records of their own, and when all have ended every slot is free
// again with its record kept.
TEST(ThreadStress, MoreLiveThreadsThanSlots)
{
    const std::size_t threads = KOVA_THRD_SLOTS + (std::getenv("UNDER_QEMU") != nullptr ? 8 : 76);
    ASSERT_TRUE(wait_until(kova::test::registry_idle));
    std::latch started(static_cast<std::ptrdiff_t>(threads)), release(1);
    struct Seen {
        kova_thread_s *record;
        int64_t tid;
        std::latch *started, *release;
    };
    std::vector<Seen> seen(threads, Seen{nullptr, 0, &started, &release});
    auto park = [](void *arg) -> void * {
        auto *s = static_cast<Seen *>(arg);
        s->record = m_current_thread;
        s->tid = gettid();
        s->started->count_down();
        s->release->wait();
        parked.fetch_sub(1);
        return nullptr;
    };
    pthread_attr_t attr;
    kova_thrd_attr_init(&attr);
    ASSERT_EQ(kova_thrd_setstacksize(&attr, std::max<std::size_t>(PTHREAD_STACK_MIN, 0x10000)), 0);
    std::size_t running = 0;
    for (; running < threads; ++running) {
        parked.fetch_add(1);
        if (kova_thrd_create_attr(park, &seen[running], nullptr, &attr) != 0) {
            parked.fetch_sub(1);
            release.count_down();
            wait_until([] { return parked.load() == 0; });
            FAIL() << "only " << running << " threads started";
        }
    }
    kova_thrd_attr_destroy(&attr);
    started.wait();

    kova_thrd_list(count_line);
    EXPECT_EQ(listed_lines, static_cast<int>(KOVA_THRD_SLOTS) + 2);
    for (std::size_t i = 0; i < threads; ++i) {
        kova_thread_s *found = kova_thrd_getthreadinfobytid(seen[i].tid);
        bool in_registry = i < KOVA_THRD_SLOTS;
        EXPECT_EQ(seen[i].record->slot != nullptr, in_registry) << i;
        EXPECT_EQ(found, in_registry ? seen[i].record : nullptr) << i;
        if (found != nullptr) kova_thrd_putthreadinfo(found);
    }
    release.count_down();
    ASSERT_TRUE(wait_until([] { return parked.load() == 0; }));
    EXPECT_TRUE(wait_until(kova::test::registry_idle));
    for (std::uint32_t i = 0; i < KOVA_THRD_SLOTS; ++i) EXPECT_NE(kova::thread::slot_record(i), nullptr) << i;
}

}  // namespace

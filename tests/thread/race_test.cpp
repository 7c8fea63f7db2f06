#include <unistd.h>

#include <vector>

#include "thread_test.h"

namespace {

std::atomic<int> wrong_record{0};
std::atomic<int64_t> last_tid{0};

// Every thread must find its own record by its own tid: a record shared by two live threads,
// or lost to a racing claim, gives one of them somebody else's or none.
void *check_own_record(void *done)
{
    kova_thrd_setname("race%d", static_cast<int>(gettid() % 1000));
    last_tid.store(gettid());
    kova_thread_s *found = kova_thrd_getthreadinfobytid(gettid());
    if (found != m_current_thread || found == nullptr || found->tid != gettid()) wrong_record.fetch_add(1);
    kova_thrd_putthreadinfo(found);
    static_cast<std::atomic<bool> *>(done)->store(true);
    return nullptr;
}

int print_nothing(const char *, ...) { return 0; }

TEST(ThreadRace, CreatingEndingListingAndLookingUpTogether)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::atomic<bool> stop{false};
    std::atomic<int> created{0}, mismatched{0};
    std::vector<std::thread> creators, readers;
    for (int c = 0; c < 8; ++c)
        creators.emplace_back([&] {
            while (std::chrono::steady_clock::now() < deadline) {
                std::atomic<bool> done{false};
                if (kova_thrd_create(check_own_record, &done, nullptr) != 0) break;
                created.fetch_add(1);
                while (!done.load()) std::this_thread::yield();
            }
        });
    readers.emplace_back([&] {
        while (!stop.load()) kova_thrd_list(print_nothing);
    });
    readers.emplace_back([&] {
        while (!stop.load()) {
            int64_t tid = last_tid.load();
            if (kova_thread_s *record = kova_thrd_getthreadinfobytid(tid)) {
                mismatched.fetch_add(record->tid != tid);
                kova_thrd_putthreadinfo(record);
            }
        }
    });
    for (auto &t : creators) t.join();
    stop.store(true);
    for (auto &t : readers) t.join();

    EXPECT_GT(created.load(), 8);
    EXPECT_EQ(wrong_record.load(), 0);
    EXPECT_EQ(mismatched.load(), 0);
    // No use count is left raised: every slot comes free again.
    EXPECT_TRUE(kova::test::wait_until(kova::test::registry_idle));
}

}  // namespace

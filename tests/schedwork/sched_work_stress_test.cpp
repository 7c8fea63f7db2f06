#include <random>

#include "schedwork_test.h"

namespace {

// Counts kept by the test: `queued` is raised before each add (and taken back when the add is
// refused), so at every moment runs + deletions <= queueings holds unless a work ran twice for
// one queueing or ran after its deletion returned success.
struct Tracked {
    kova_sched_work_s work{};
    std::atomic<std::int64_t> queued{0}, runs{0}, deleted{0};
    std::atomic<bool> violated{false};
    Tracked() { kova_sched_init_work(&work, run, this); }

    void check() { if (runs.load() + deleted.load() > queued.load()) violated.store(true); }
    bool add()
    {
        queued.fetch_add(1);
        return kova_sched_add_work(&work) == 0 || (queued.fetch_sub(1), false);
    }
    static void run(kova_sched_work_s *w)
    {
        auto *self = static_cast<Tracked *>(w->pData);
        self->runs.fetch_add(1);
        self->check();
        if (self->runs.load() % 3 == 0) self->add();
    }
};

using Soak = kova::test::SchedWork;

TEST_F(Soak, RandomAddsDeletesRequeuesAndADestructionNeverRunAWorkTwice)
{
    constexpr int kWorks = 48, kDrivers = 4;
    const int ops = kova::test::under_qemu() ? 3000 : 40000;
    std::vector<Tracked> works(kWorks);
    std::atomic<int> done_ops{0};
    std::vector<std::thread> drivers;
    for (int d = 0; d < kDrivers; ++d)
        drivers.emplace_back([&, d] {
            std::mt19937 random(static_cast<unsigned>(d) + 1);
            for (int i = 0; i < ops; ++i, done_ops.fetch_add(1)) {
                Tracked &t = works[random() % kWorks];
                if (random() % 3 != 0) t.add();
                else if (kova_sched_delete_work(&t.work) == 0) t.deleted.fetch_add(1), t.check();
            }
        });
    ASSERT_TRUE(kova::test::wait_until([&] { return done_ops.load() >= kDrivers * ops / 2; }));
    EXPECT_EQ(sched_work_destroy(), 0);
    for (auto &d : drivers) d.join();
    Tracked last;
    ASSERT_TRUE(last.add());
    ASSERT_TRUE(kova::test::wait_until([&] { return kova::schedwork::queued_count() == 0 && started() == finished(); }));
    // Only the destruction may have dropped queueings: at most one per work.
    for (Tracked &t : works) {
        EXPECT_FALSE(t.violated.load());
        std::int64_t missing = t.queued.load() - t.runs.load() - t.deleted.load();
        EXPECT_TRUE(missing == 0 || missing == 1) << missing;
        EXPECT_TRUE(t.work.list.next == KOVA_LIST_POISON_NEXT && t.work.list.prev == KOVA_LIST_POISON_PREV);
    }
}

}  // namespace

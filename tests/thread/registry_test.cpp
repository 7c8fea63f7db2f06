#include <sys/wait.h>

#include <cstdio>

#include "support/print_capture.h"
#include "thread_test.h"

namespace {

using namespace kova::test;

bool slot_freed(const kova_thread_s *record)
{
    return wait_until([&] { return kova::thread::slot_use_count(record->slot - kova::thread::slots()) == 0; });
}

// A library thread that notes its record's name, renames itself, and parks.
struct Parked {
    std::string initial_name, kernel;
    std::atomic<kova_thread_s *> record{nullptr};
    std::latch release{1};
    std::atomic<bool> left{false};

    static void *run(void *arg)
    {
        auto *p = static_cast<Parked *>(arg);
        p->initial_name = kova_thrd_getname();
        kova_thrd_setname("%s%d", "a-name-longer-than-", 15);
        p->kernel = kernel_name();
        p->record.store(m_current_thread);
        p->release.wait();
        p->left = true;  // the last touch
        return nullptr;
    }
    kova_thread_s *started()
    {
        wait_until([this] { return record.load() != nullptr; });
        return record.load();
    }
};

TEST(ThreadRegistry, RecordIsListedFoundAndReusedAfterExit)
{
    LogCapture log;
    Parked first, second;
    ASSERT_EQ(kova_thrd_create_attr(Parked::run, &first, nullptr, nullptr), 0);
    kova_thread_s *record = first.started();
    // A name of 16 or more characters keeps its first 15, in the record and in the kernel.
    EXPECT_EQ(first.initial_name + "|" + record->name + "|" + first.kernel, "[NULL]|a-name-longer-t|a-name-longer-t");
    EXPECT_EQ(kova_thrd_getthreadinfobytid(record->tid), record);
    EXPECT_EQ(kova_thrd_putthreadinfo(record), 1);  // the owner's reference remains
    uint64_t low = 0, high = 0;
    EXPECT_TRUE(kova_thread_get_specific_stack(record->tid, &low, &high) == 0 &&
                low + high == record->os_stack_low + record->os_stack_high);
    EXPECT_EQ(kova_thread_get_specific_stack(gettid(), &low, &high), -1);
    char line[128];
    std::snprintf(line, sizeof line, "%5lu %-18s %-11d %-8d\n", static_cast<unsigned long>(record->tid),
                  "a-name-longer-t", 0, -1);  // no strategy for kova_thrd_create_attr
    printed_text().clear();
    EXPECT_EQ(kova_thrd_list(capture_print) + kova_thrd_list(nullptr), 0);
    EXPECT_EQ(printed_text().rfind("list threads flag(0:preempt 1:nonpreempt) created by kova:\n"
                                   "tid   name               preemptflag strategy\n", 0), 0u);
    EXPECT_NE(printed_text().find(line), std::string::npos) << printed_text();

    // A child of fork runs on the forking thread alone, with a new tid and pid: the caches follow,
    // with and without a record, and the parent's other threads leave the child's registry.
    for (bool adopted : {false, true})
        std::thread([&] {
            ASSERT_EQ(adopted ? kova_thrd_setcurthreadinfo() : 0, 0);
            ASSERT_TRUE(kova_thread_get_knl_tid() == gettid() && kova_thrd_getpid_accl() == getpid());
            pid_t child = fork();
            if (child == 0)
                _exit(kova_thread_get_knl_tid() == gettid() && kova_thrd_getpid_accl() == getpid() &&
                      kova_thrd_getthreadinfobytid(gettid()) == m_current_thread &&
                      kova_thrd_getthreadinfobytid(record->tid) == nullptr ? 0 : 1);
            int status = -1;
            EXPECT_TRUE(waitpid(child, &status, 0) == child && status == 0) << (adopted ? "adopted" : "foreign");
            kova_thrd_clearcurthreadinfo();
        }).join();

    first.release.count_down();
    ASSERT_TRUE(slot_freed(record));
    EXPECT_EQ(kova_thrd_getthreadinfobytid(record->tid), nullptr);
    // The next thread takes the freed slot and finds its record reset.
    ASSERT_EQ(create_thread_raw(Parked::run, &second, nullptr), 0);
    EXPECT_TRUE(second.started() == record && second.initial_name == "[NULL]");
    second.release.count_down();
    ASSERT_TRUE(slot_freed(record));
    for (const auto &m : log.messages()) EXPECT_NE(m.file, "thread/kova_thrd") << m.text;
}

TEST(ThreadRegistry, ForeignThreadAdoptsARecordButCannotNameItself)
{
    LogCapture log;
    std::thread([] {
        const std::string before = kernel_name();
        kova_thrd_setname("x%d", 1);
        EXPECT_EQ(kernel_name(), before);
        uint64_t low = 0, high = 0;
        EXPECT_EQ(kova_thrd_getosstack(&low, &high) + kova_thrd_clearcurthreadinfo(), -2);
        ASSERT_EQ(kova_thrd_setcurthreadinfo(), 0);
        kova_thread_s *record = kova_thrd_currentthreadinfo();
        EXPECT_EQ(kova_thrd_setcurthreadinfo(), 0);  // once only
        EXPECT_TRUE(record != nullptr && kova_thrd_currentthreadinfo() == record);
        EXPECT_TRUE(kova_thrd_getsigstack(&low, &high) == 0 && high - low == KOVA_THRD_SIGSTACK_SIZE);
        EXPECT_EQ(kova_thrd_getthreadinfobytid(gettid()), record);
        kova_thrd_putthreadinfo(record);
        uint32_t saved = 0;  // an iod thread that enters and leaves irq context is an iod thread again
        kova_thread_run_in_iod_context_init(7);
        kova_thread_run_in_irq_context_save(&saved);
        EXPECT_EQ(kova_thread_run_in_irq_context_check() * 10 + kova_thread_run_in_iod_context_check(), 10);
        kova_thread_run_in_irq_context_restore(saved);
        EXPECT_TRUE(kova_thread_run_in_iod_context_check() == 1 && kova_thread_iod_thread_id_get() == 7u);
        EXPECT_EQ(kova_thrd_clearcurthreadinfo(), 0);
        EXPECT_EQ(kova_thrd_getthreadinfobytid(gettid()), nullptr);
        EXPECT_TRUE(slot_freed(record));
    }).join();
    EXPECT_EQ(log.count("Kova set thrd name(x%d) fail, please use kova or Tiro create thrd."), 1u);
}

std::atomic<int> wrong_record{0};
std::atomic<int64_t> last_tid{0};

// Every thread must find its own record by its own tid: a record shared by two live threads, or
// lost to a racing claim, gives one of them somebody else's or none. Half are foreign threads
// that adopt a record and never clear it; every other thread ends with pthread_exit. So releases
// at thread end, however it ends, race the lookups.
void *check_own_record(void *done)
{
    if (m_current_thread == nullptr && kova_thrd_setcurthreadinfo() != 0) wrong_record.fetch_add(1);
    kova_thrd_setname("race%d", static_cast<int>(gettid() % 1000));
    last_tid.store(gettid());
    kova_thread_s *found = kova_thrd_getthreadinfobytid(gettid());
    if (found != m_current_thread || found == nullptr || found->tid != gettid()) wrong_record.fetch_add(1);
    kova_thrd_putthreadinfo(found);
    static_cast<std::atomic<bool> *>(done)->store(true);
    if (gettid() % 2 == 0) pthread_exit(nullptr);
    return nullptr;
}

int print_nothing(const char *, ...) { return 0; }

// Invariant: every thread finds its own record, a lookup never returns another thread's, and
// once all have ended, however they ended, no slot stays in use.
TEST(ThreadRegistry, CreatingEndingListingAndLookingUpTogether)
{
    const int per_creator = under_qemu() ? 40 : 400;
    std::atomic<bool> stop{false};
    std::atomic<int> mismatched{0};
    std::vector<std::thread> creators;
    for (int c = 0; c < 8; ++c)
        creators.emplace_back([&] {
            for (int i = 0; i < per_creator; ++i) {
                std::atomic<bool> done{false};
                pthread_t foreign;
                ASSERT_EQ(i % 2 ? kova_thrd_create(check_own_record, &done, nullptr)
                                : pthread_create(&foreign, nullptr, check_own_record, &done), 0);
                if (i % 2 == 0) pthread_detach(foreign);
                while (!done.load()) std::this_thread::yield();
            }
        });
    std::thread reader([&] {
        for (int64_t tid = 0; !stop.load(); tid = last_tid.load()) {
            kova_thrd_list(print_nothing);
            if (kova_thread_s *record = kova_thrd_getthreadinfobytid(tid)) {
                mismatched.fetch_add(record->tid != tid);
                kova_thrd_putthreadinfo(record);
            }
        }
    });
    for (auto &t : creators) t.join();
    stop.store(true);
    reader.join();
    EXPECT_EQ(wrong_record.load() + mismatched.load(), 0);
    EXPECT_TRUE(registry_drains()) << "a use count is left raised";
}

// A start that fails gives its slot back (all are then free to claim). With every slot taken a
// thread still starts, with a record of its own that is neither listed nor found (and freed at its
// end: the leak check sees it).
TEST(ThreadRegistry, AFailedStartGivesTheSlotBackAndAFullRegistryStillStartsThreads)
{
    LogCapture log;
    ASSERT_TRUE(registry_drains());
    pthread_attr_t attr;
    cpu_set_t cpus;  // no machine has this CPU: pthread_create refuses the attribute
    CPU_ZERO(&cpus);
    CPU_SET(CPU_SETSIZE - 1, &cpus);
    ASSERT_TRUE(kova_thrd_attr_init(&attr) == 0 && kova_thrd_setstacksize(&attr, 1) == -1);
    ASSERT_EQ(pthread_attr_setaffinity_np(&attr, sizeof cpus, &cpus), 0);
    EXPECT_EQ(kova_thrd_create_attr(check_own_record, nullptr, nullptr, &attr), -1);
    kova_thrd_attr_destroy(&attr);
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].text.rfind("Create thread failed, ret:22, errno(", 0), 0u);
    std::vector<kova_thread_s *> held;
    while (auto *r = kova::thread::claim_record(nullptr, nullptr, kova::thread::ClaimFrom::kRegistryOnly))
        held.push_back(r);
    ASSERT_EQ(held.size(), KOVA_THRD_SLOTS);
    Parked outside;
    ASSERT_EQ(kova_thrd_create(Parked::run, &outside, nullptr), 0);
    kova_thread_s *record = outside.started();
    EXPECT_TRUE(record->slot == nullptr && kova_thrd_getthreadinfobytid(record->tid) == nullptr);
    printed_text().clear();
    kova_thrd_list(capture_print);
    EXPECT_EQ(printed_text().find(std::to_string(record->tid)), std::string::npos);
    outside.release.count_down();
    for (kova_thread_s *r : held) kova_thrd_putthreadinfo(r);
    EXPECT_TRUE(wait_until([&] { return outside.left.load(); }) && registry_drains());
}

}  // namespace

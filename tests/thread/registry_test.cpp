#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <latch>

#include "support/log_capture.h"
#include "support/print_capture.h"
#include "thread_test.h"

namespace {

using namespace kova::test;


// A library thread that notes its record's name, optionally renames itself, and parks.
struct Parked {
    bool rename = false;
    std::string initial_name, kernel;
    std::atomic<kova_thread_s *> record{nullptr};
    std::latch release{1};

    static void *run(void *arg)
    {
        auto *p = static_cast<Parked *>(arg);
        p->initial_name = kova_thrd_getname();
        if (p->rename) kova_thrd_setname("%s%d", "a-name-longer-than-", 15);
        p->kernel = kernel_name();
        p->record.store(m_current_thread);
        p->release.wait();
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
    Parked first;
    first.rename = true;
    ASSERT_EQ(kova_thrd_create_attr(Parked::run, &first, nullptr, nullptr), 0);
    kova_thread_s *record = first.started();
    // A name of 16 or more characters keeps its first 15, in the record and in the kernel.
    EXPECT_EQ(first.initial_name + "|" + record->name + "|" + first.kernel, "[NULL]|a-name-longer-t|a-name-longer-t");

    EXPECT_EQ(kova_thrd_getthreadinfobytid(record->tid), record);
    EXPECT_EQ(kova_thrd_putthreadinfo(record), 1);  // the owner's reference remains
    uint64_t low = 0, high = 0;
    EXPECT_EQ(kova_thread_get_specific_stack(record->tid, &low, &high), 0);
    EXPECT_EQ(low + high, record->os_stack_low + record->os_stack_high);
    EXPECT_EQ(kova_thread_get_specific_stack(gettid(), &low, &high), -1);
    char line[128];
    std::snprintf(line, sizeof line, "%5lu %-18s %-11d %-8d\n", static_cast<unsigned long>(record->tid),
                  "a-name-longer-t", 0, -1);  // no strategy for kova_thrd_create_attr
    kova::test::printed_text().clear();
    kova_thrd_list(capture_print);
    const std::string &listing = kova::test::printed_text();
    EXPECT_EQ(listing.rfind("list threads flag(0:preempt 1:nonpreempt) created by kova:\n"
                            "tid   name               preemptflag strategy\n", 0), 0u);
    EXPECT_NE(listing.find(line), std::string::npos) << listing;

    first.release.count_down();
    ASSERT_TRUE(slot_freed(record));
    EXPECT_EQ(kova_thrd_getthreadinfobytid(record->tid), nullptr);

    // The next thread takes the freed slot and finds its record reset.
    Parked second;
    ASSERT_EQ(create_thread_raw(Parked::run, &second, nullptr), 0);
    EXPECT_EQ(second.started(), record);
    EXPECT_EQ(second.initial_name, "[NULL]");
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
        EXPECT_EQ(kova_thrd_getosstack(&low, &high), -1);
        EXPECT_EQ(kova_thrd_clearcurthreadinfo(), -1);

        ASSERT_EQ(kova_thrd_setcurthreadinfo(), 0);
        kova_thread_s *record = kova_thrd_currentthreadinfo();
        EXPECT_EQ(kova_thrd_setcurthreadinfo(), 0);  // once only
        EXPECT_TRUE(record != nullptr && kova_thrd_currentthreadinfo() == record);
        EXPECT_EQ(kova_thrd_getsigstack(&low, &high), 0);
        EXPECT_EQ(high - low, KOVA_THRD_SIGSTACK_SIZE);
        EXPECT_EQ(kova_thrd_getthreadinfobytid(gettid()), record);
        kova_thrd_putthreadinfo(record);

        // An iod thread that enters and leaves irq context is an iod thread again.
        uint32_t saved = 0;
        kova_thread_run_in_iod_context_init(7);
        kova_thread_run_in_irq_context_save(&saved);
        EXPECT_EQ(kova_thread_run_in_irq_context_check() * 10 + kova_thread_run_in_iod_context_check(), 10);
        kova_thread_run_in_irq_context_restore(saved);
        EXPECT_EQ(kova_thread_run_in_irq_context_check() * 10 + kova_thread_run_in_iod_context_check(), 1);
        EXPECT_EQ(kova_thread_iod_thread_id_get(), 7u);

        EXPECT_EQ(kova_thrd_clearcurthreadinfo(), 0);
        EXPECT_EQ(kova_thrd_getthreadinfobytid(gettid()), nullptr);
        EXPECT_EQ(kova::thread::slot_use_count(slot_index(record)), 0u);
        EXPECT_EQ(kova_thread_run_in_iod_context_check(), 0);
    }).join();
    EXPECT_EQ(log.count("Kova set thrd name(x%d) fail, please use kova or Tiro create thrd."), 1u);
}

TEST(ThreadRegistry, FailedStartGivesTheSlotBack)
{
    LogCapture log;
    std::uint32_t first_free = 0;
    while (kova::thread::slot_use_count(first_free) != 0) ++first_free;
    pthread_attr_t attr;
    ASSERT_EQ(kova_thrd_attr_init(&attr), 0);
    EXPECT_EQ(kova_thrd_setstacksize(&attr, 1), -1);
    cpu_set_t cpus;  // no machine has this CPU: pthread_create refuses the attribute
    CPU_ZERO(&cpus);
    CPU_SET(CPU_SETSIZE - 1, &cpus);
    ASSERT_EQ(pthread_attr_setaffinity_np(&attr, sizeof cpus, &cpus), 0);
    EXPECT_EQ(kova_thrd_create_attr([](void *) -> void * { return nullptr; }, nullptr, nullptr, &attr), -1);
    kova_thrd_attr_destroy(&attr);
    EXPECT_TRUE(kova::thread::slot_use_count(first_free) == 0 &&
                kova::thread::slot_state(first_free) == KOVA_THRD_ALLOCATED);
    auto messages = log.messages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](auto &m) { return m.text.starts_with("Create thread failed, ret:22, errno("); }),
              1);
}

TEST(ThreadIds, CachedPidAndInstantMapStacks)
{
    run_in([] {
        EXPECT_EQ(g_siKovaThrdPID, -1);  // filled on first use, per thread
        EXPECT_TRUE(kova_thrd_getpid_accl() == getpid() && g_siKovaThrdPID == getpid());
    });

    // With the instant-map flag, non-preemptible threads get 128 KiB stacks instead of the default.
    auto stack_span = [] {
        uint64_t low = 0, high = 0;
        run_in([&] { kova_thrd_getosstack(&low, &high); }, create_thread_nopreempt_raw);
        return high - low;
    };
    const uint64_t default_span = stack_span();
    EXPECT_EQ(kova_set_instant_map_flag(), 0);
    const uint64_t instant_span = stack_span();
    g_siProcMapFlag = 0;
    EXPECT_TRUE(instant_span < default_span && instant_span > KOVA_THRD_INSTANT_MAP_STACK / 2)
        << instant_span << " " << default_span;
}

TEST(ThreadNames, ProcessAndExecutableNamesComeFromProc)
{
    kova::thread::reset_process_names_for_test();
    std::string comm, exe = std::filesystem::read_symlink("/proc/self/exe").filename();
    std::getline(std::ifstream("/proc/self/comm"), comm);
    char name[100];
    ASSERT_EQ(kova_get_process_name(name, 4), 0);
    EXPECT_EQ(name, comm.substr(0, 3));
    ASSERT_EQ(kova_get_process_exe_name(name, sizeof name), 0);
    EXPECT_EQ(name, exe.substr(0, 31));
    EXPECT_EQ(kova_get_process_exe_name(nullptr, sizeof name), -1);
}

}  // namespace

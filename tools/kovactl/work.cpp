#include <dirent.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "commands.h"
#include "kova/kova.h"
#include "kova/kova_schedwork.h"

namespace kovactl {
namespace {

// Threads of this process named "kova_schedwork", as the kernel lists them.
int worker_threads()
{
    int found = 0;
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    while (dirent *task = readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + task->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "kova_schedwork") ++found;
    }
    closedir(tasks);
    return found;
}

struct Burst {
    kova_sched_work_s work{};
    std::atomic<int> *done = nullptr;
};

void busy_work(kova_sched_work_s *work)
{
    kova_msleep(100);
    static_cast<Burst *>(work->pData)->done->fetch_add(1);
}

// Queues bursts of works that each take 100 ms and shows the workers growing and shrinking.
int show_bursts()
{
    if (sched_work_init() != 0) return 1;
    std::printf("idle workers at start: %d\n", worker_threads());
    for (int size : {20, 100}) {
        std::atomic<int> done{0};
        std::vector<Burst> works(static_cast<std::size_t>(size));
        for (Burst &b : works) {
            b.done = &done;
            kova_sched_init_work(&b.work, busy_work, &b);
            kova_sched_add_work(&b.work);
        }
        std::printf("burst of %d works queued\n", size);
        int shown = -1, most = 0;
        for (int ms = 0; done.load() < size || worker_threads() > 8; ms += 10) {
            int now = worker_threads();
            if (now != shown) std::printf("  %5d ms  workers %2d  works done %3d/%d\n", ms, shown = now, done.load(), size);
            if (now > most) most = now;
            kova_msleep(10);
        }
        std::printf("  most workers %d, back to %d idle\n", most, worker_threads());
    }
    return 0;
}

struct Blocked {
    kova_sched_work_s work{};
    std::mutex lock;
    std::condition_variable released;
    bool open = false;
};

void blocked_work(kova_sched_work_s *work)
{
    auto *b = static_cast<Blocked *>(work->pData);
    std::unique_lock guard(b->lock);
    b->released.wait(guard, [b] { return b->open; });
}

// A work with the shortest time-out blocks; the health check, called as the framework would,
// reports its worker once the time-out has passed.
int show_stuck()
{
    kova_heal_task_s *task = nullptr;
    std::uint32_t count = 0;
    Blocked blocked;
    kova_sched_init_work(&blocked.work, blocked_work, &blocked);
    kova_set_sched_work_timeout(&blocked.work, KOVA_SCHED_WORK_MIN_TIMEOUT);
    if (kova_sched_add_work(&blocked.work) != 0 || kova_get_sched_work_heal_task_info(&task, &count) != 0) return 1;
    std::printf("a work with a %u s time-out blocks; health check \"%s\" every second:\n",
                KOVA_SCHED_WORK_MIN_TIMEOUT, task->name);
    // The overdue report goes to the log (standard error) from inside the callback.
    for (int second = 0; second <= static_cast<int>(KOVA_SCHED_WORK_MIN_TIMEOUT) + 1; ++second) {
        task->callback(task);
        std::printf("  %2d s  verdict %s\n", second, task->result == 1 ? "healthy" : "all stuck");
        std::fflush(stdout);
        kova_msleep(1000);
    }
    {
        std::lock_guard guard(blocked.lock);
        blocked.open = true;
    }
    blocked.released.notify_all();
    sched_work_destroy();
    return 0;
}

}  // namespace

int run_work(int argc, char **argv)
{
    bool stuck = argc == 1 && std::strcmp(argv[0], "--stuck") == 0;
    if (argc > 1 || (argc == 1 && !stuck)) return usage_error();
    kova_log_init(nullptr, 6);
    return stuck ? show_stuck() : show_bursts();
}

KOVACTL_COMMAND("work", "queue bursts of works and watch the workers grow and shrink; --stuck: an overdue work",
                run_work, "[--stuck]",
                "Queues a burst of 20 and then of 100 works of 100 ms each and shows the kova_schedwork workers "
                "growing and shrinking back.\n\n"
                "  --stuck  instead, a work with the shortest time-out blocks and the health check, called every "
                "second, reports it once the time-out has passed (the report goes to the log on standard error)",
                "0, 1 when the scheduler cannot start or the work cannot be queued, 2 for a usage error.");

}  // namespace kovactl

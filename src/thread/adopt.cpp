#include "init/kova_log.h"
#include "thread/registry.h"

KOVA_LOG_SOURCE("thread/kova_thrd")

extern "C" int kova_thrd_setcurthreadinfo(void)
{
    kova_thrd_module_init();
    if (m_current_thread != nullptr) return 0;
    kova_thread_s *record = kova::thread::claim_record(nullptr, nullptr, kova::thread::ClaimFrom::kAnywhere);
    if (record == nullptr) {
        KOVA_LOG(kova::log::kInfo, "Create thread info fail.");
        return -1;
    }
    kova::thread::enter_thread(record);
    kova_setCurThreadStrategy(0);
    kova::thread::set_state(record, KOVA_THRD_RUNNING);
    return 0;
}

extern "C" int kova_thrd_clearcurthreadinfo(void)
{
    kova_thread_s *record = m_current_thread;
    if (record == nullptr) return -1;
    kova::thread::leave_thread(record);
    return 0;
}

extern "C" kova_thread_s *kova_thrd_currentthreadinfo(void) { return m_current_thread; }

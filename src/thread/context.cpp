#include "kova/kova_thrd.h"

extern "C" void kova_thread_run_in_iod_context_init(uint32_t iod_thread_id)
{
    if (kova_thread_s *record = m_current_thread) {
        record->context_kind = KOVA_CONTEXT_IOD;
        record->iod_thread_id = iod_thread_id;
    }
}

extern "C" int kova_thread_run_in_iod_context_check(void)
{
    return m_current_thread != nullptr && m_current_thread->context_kind == KOVA_CONTEXT_IOD ? 1 : 0;
}

extern "C" int kova_thread_run_in_irq_context_check(void)
{
    return m_current_thread != nullptr && m_current_thread->context_kind == KOVA_CONTEXT_IRQ ? 1 : 0;
}

extern "C" uint32_t kova_thread_iod_thread_id_get(void)
{
    return m_current_thread != nullptr ? m_current_thread->iod_thread_id : 0;
}

extern "C" void kova_thread_run_in_irq_context_save(uint32_t *saved_kind)
{
    kova_thread_s *record = m_current_thread;
    if (record == nullptr) return;
    if (saved_kind != nullptr) *saved_kind = record->context_kind;
    record->context_kind = KOVA_CONTEXT_IRQ;
}

extern "C" void kova_thread_run_in_irq_context_restore(uint32_t saved_kind)
{
    if (m_current_thread != nullptr) m_current_thread->context_kind = saved_kind;
}

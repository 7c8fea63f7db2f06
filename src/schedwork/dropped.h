#pragma once

#include "kova/kova_schedwork.h"

namespace kova::schedwork {

// A destruction drops queued works without running them. The owner of works that free
// themselves in their handler registers here to be handed each dropped work instead, so that
// its record is not lost. The hook runs under the queue lock: it must not call the scheduler.
using DroppedWorkHook = void (*)(kova_sched_work_s *work);
// Returns the hook it replaces.
DroppedWorkHook set_dropped_work_hook(DroppedWorkHook hook);

}  // namespace kova::schedwork

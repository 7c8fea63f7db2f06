// The thread watch's hook for tests.
#pragma once

namespace kova::thread {

// Unmaps the watch word so that the next call maps the object afresh (under a test's prefix).
void reset_thread_watch_for_test();

}  // namespace kova::thread

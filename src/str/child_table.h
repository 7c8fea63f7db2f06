// The table of popen children: one process id per file descriptor, so that kova_pclose finds
// the child of a stream from the stream alone. Created on first use, never freed.
#pragma once

#include <sys/types.h>

namespace kova::str {

// Creates the table if needed; false when its size cannot be read or the allocation fails.
bool child_table_ready();
// Records `pid` as the child of the stream on `fd`; false when fd lies outside the table.
bool child_table_record(int fd, pid_t pid);
// Removes and returns the child recorded for `fd`: 0 when none (or no table).
pid_t child_table_take(int fd);

}  // namespace kova::str

// Internals of the CPU counts shared with the tests.
#pragma once

namespace kova::smp {

// Where a CPU count comes from: sysconf(_SC_NPROCESSORS_CONF) or (_SC_NPROCESSORS_ONLN) unless a
// test substitutes a source (a null source restores sysconf). A source reports failure as sysconf
// does: a negative result with errno set.
using CpuCountSource = long (*)();
void set_config_cpu_source_for_test(CpuCountSource source);
void set_online_cpu_source_for_test(CpuCountSource source);

// Puts the counts and their done flag back to "not yet known".
void forget_counts_for_test();

}  // namespace kova::smp

// Internals of the CPU-count family shared with the tests.
#pragma once

namespace kova::smp {

// Where the configured CPU count comes from: sysconf(_SC_NPROCESSORS_CONF) unless a test
// substitutes a source (a null source restores sysconf). A source reports failure as sysconf
// does: a negative result with errno set.
using ConfigCpuSource = long (*)();
void set_config_cpu_source_for_test(ConfigCpuSource source);

// The configured CPU count as the source reports it.
long query_config_cpus();

}  // namespace kova::smp

// Internals of the usage sampler shared with the tests.
#pragma once

namespace kova::sysinfo {

// Where the present CPU count comes from: sysconf(_SC_NPROCESSORS_CONF) unless a test substitutes
// a source (null restores it). Setting a source forgets the cached count.
using CpuCountSource = long (*)();
void set_present_cpu_source_for_test(CpuCountSource source);

// True while a sampler thread has not yet left its loop.
bool sampler_running_for_test();

}  // namespace kova::sysinfo

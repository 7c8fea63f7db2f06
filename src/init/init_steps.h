// The start-up chain as a table, so that tests can make any step fail and the benchmark and
// kovactl can name the steps. Internal: nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova::init {

using StepFunction = int (*)();

enum class OnFailure : std::uint8_t {
    kIgnored,
    kAborts,    // the chain stops and kova_Init fails
    kReported,  // logged at level 3, the chain goes on
};

struct Step {
    const char *name;  // the operations it runs, as the documentation names them
    StepFunction run;
    OnFailure on_failure;
    const char *message;  // logged at level 3 when it fails and is not ignored
};

inline constexpr std::size_t kStepCount = 14;
inline constexpr std::size_t kTeardownCount = 4;

// In the order they run. Read and replaced only under the init mutex.
extern Step steps[kStepCount];
extern StepFunction teardowns[kTeardownCount];

// Both replace one entry under the init mutex and return the function it held, so that a test
// can put it back.
StepFunction replace_step(std::size_t index, StepFunction run);
StepFunction replace_teardown(std::size_t index, StepFunction run);

// The done flag: 1 while the library is initialised.
std::uint32_t done_flag();

}  // namespace kova::init

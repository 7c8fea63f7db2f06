// Internals of the NUMA configuration shared with the tests.
#pragma once

namespace kova::numa {

// Frees the node records and puts the switch, the counts and the done flag back to their start.
void forget_for_test();

}  // namespace kova::numa

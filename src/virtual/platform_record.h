// Test hook of the platform detection: forget what was detected, so that a test can detect
// again with other command output.
#pragma once

namespace kova::virt {
void reset_for_test();
}

// Each memory test starts and ends with the family's caches forgotten, with log capture on.
#pragma once

#include <gtest/gtest.h>

#include "mem/mem_internal.h"
#include "support/log_capture.h"

namespace kova::test {

class MemTest : public ::testing::Test {
protected:
    void SetUp() override { kova::mem::reset_caches_for_test(); }
    void TearDown() override { kova::mem::reset_caches_for_test(); }

    LogCapture log_;
};

}  // namespace kova::test

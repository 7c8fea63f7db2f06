// Shared by the memory tests: each starts and ends with the family's caches forgotten.
#pragma once

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "kova/kova_mem.h"
#include "mem/mem_internal.h"
#include "support/log_capture.h"

namespace kova::test {

class MemTest : public ::testing::Test {
protected:
    void SetUp() override { kova::mem::reset_caches_for_test(); }
    void TearDown() override { kova::mem::reset_caches_for_test(); }
    LogCapture log_;
};

inline std::string format(const char *fmt, auto... args)
{
    char text[512];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

}  // namespace kova::test

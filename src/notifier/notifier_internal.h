// The exception chain record itself, for the families that report into it and for tests that
// hold its lock.
#pragma once

#include "kova/kova_notifier.h"

extern "C" kova_notifier_chain_s kova_exception_chain;

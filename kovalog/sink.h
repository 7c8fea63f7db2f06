// Where kovalog's output goes, and the content callbacks that see every message.
#pragma once

#include <cstddef>

#include "kovalog/kovalog.h"

namespace kovalog_internal {

// Writes all of text with write(2) to the current output. Async-signal-safe.
void sink_write(const char *text, std::size_t len);

// Hands one message to every registered callback. Async-signal-safe as far as the callbacks are.
void deliver_to_callbacks(const kovalog_message_s &message);

void reset_callbacks();
void reset_levels();
void reset_ratelimits();

// False when the module's rate-limit group is over its cap: the message is dropped.
bool ratelimit_admit(unsigned module);

}  // namespace kovalog_internal

// A printf-like output function for the library's "show" and "list" diagnostics: what it prints
// accumulates in printed_text() until the test clears it.
#pragma once

#include <string>

namespace kova::test {

int capture_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string &printed_text();

}  // namespace kova::test

// Targets of -Wl,--wrap=popen,--wrap=pclose,--wrap=system: a program linked that way runs its
// plain popen, pclose and system calls through the library's runners.
#include "kova/kova_str.h"

extern "C" FILE *__wrap_popen(const char *command, const char *mode) { return kova_popen(command, mode); }

extern "C" int __wrap_pclose(FILE *stream) { return kova_pclose(stream); }

extern "C" int __wrap_system(const char *command) { return kova_system(command); }

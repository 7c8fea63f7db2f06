#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

struct Subcommand {
    const char *name;
    const char *summary;
    int (*run)(int, char **);
};

constexpr Subcommand subcommands[] = {
    {"demo", "bring the library up and show the time base, module names, memory and a command",
     kovactl::run_demo},
    {"threads", "start named library threads with different strategies and list them", kovactl::run_threads},
    {"timers", "arm wheel and high-resolution timers and show how late they fired", kovactl::run_timers},
};

int usage(FILE *out)
{
    std::fprintf(out, "usage: kovactl <command> [arguments]\n\ncommands:\n");
    for (const Subcommand &s : subcommands) std::fprintf(out, "  %-10s %s\n", s.name, s.summary);
    return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return usage(stdout);
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) return usage(stdout);
    for (const Subcommand &s : subcommands)
        if (std::strcmp(argv[1], s.name) == 0) return s.run(argc - 2, argv + 2);
    std::fprintf(stderr, "kovactl: unknown command '%s'\n", argv[1]);
    return usage(stderr);
}

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace kovactl {

std::vector<Subcommand> &subcommands()
{
    static std::vector<Subcommand> all;
    return all;
}

}  // namespace kovactl

namespace {

int usage(FILE *out)
{
    auto all = kovactl::subcommands();
    std::sort(all.begin(), all.end(),
              [](const kovactl::Subcommand &a, const kovactl::Subcommand &b) { return std::strcmp(a.name, b.name) < 0; });
    std::fprintf(out, "usage: kovactl <command> [arguments]\n\ncommands:\n");
    for (const kovactl::Subcommand &s : all) std::fprintf(out, "  %-10s %s\n", s.name, s.summary);
    return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) return usage(stdout);
    if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) return usage(stdout);
    for (const kovactl::Subcommand &s : kovactl::subcommands())
        if (std::strcmp(argv[1], s.name) == 0) return s.run(argc - 2, argv + 2);
    std::fprintf(stderr, "kovactl: unknown command '%s'\n", argv[1]);
    return usage(stderr);
}

#include <cstdio>
#include <cstring>

#include "commands.h"
#include "help.h"

namespace kovactl {

std::vector<Subcommand> &subcommands()
{
    static std::vector<Subcommand> all;
    return all;
}

namespace {
const Subcommand *running = nullptr;
}

int usage_error()
{
    if (running != nullptr) print_usage_line(stderr, *running);
    return 2;
}

}  // namespace kovactl

namespace {

bool is_help(const char *arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

// `kovactl --manual FILE` writes the manual page; the build runs it, so the page and the help
// texts come from the same registrations.
int write_manual(int argc, char **argv)
{
    FILE *out = argc == 3 ? std::fopen(argv[2], "w") : nullptr;
    if (out == nullptr) {
        std::fputs("usage: kovactl --manual FILE\n", stderr);
        return 2;
    }
    kovactl::print_manual(out, KOVA_VERSION_TEXT);
    return std::fclose(out) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || is_help(argv[1])) {
        kovactl::print_overview(stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--manual") == 0) return write_manual(argc, argv);
    for (const kovactl::Subcommand &s : kovactl::subcommands()) {
        if (std::strcmp(argv[1], s.name) != 0) continue;
        if (argc == 3 && is_help(argv[2])) {
            kovactl::print_command_help(stdout, s);
            return 0;
        }
        kovactl::running = &s;
        return s.run(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "kovactl: unknown command '%s'\n", argv[1]);
    kovactl::print_usage_line(stderr, {"", "", nullptr, "COMMAND [ARGUMENTS...] | --help"});
    return 2;
}

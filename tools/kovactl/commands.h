// The subcommands of kovactl. Each command file registers itself with one KOVACTL_COMMAND line, so
// adding a command touches no shared table. A command takes the arguments after its name and
// returns the exit code (2 for a usage error).
#pragma once

#include <vector>

namespace kovactl {

struct Subcommand {
    const char *name;
    const char *summary;
    int (*run)(int argc, char **argv);
};

std::vector<Subcommand> &subcommands();

struct Registration {
    explicit Registration(Subcommand s) { subcommands().push_back(s); }
};

}  // namespace kovactl

#define KOVACTL_COMMAND(name, summary, fn) \
    static const ::kovactl::Registration kovactl_registration_##fn{{name, summary, fn}}

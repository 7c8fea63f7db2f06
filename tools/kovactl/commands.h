// The subcommands of kovactl. Each command file registers itself with one KOVACTL_COMMAND line, so
// adding a command touches no shared table. A command takes the arguments after its name and
// returns the exit code; on a usage error it returns usage_error().
//
// The registration is also the command's documentation: `kovactl COMMAND --help`, `kovactl --help`
// and the manual page are all printed from it (help.cpp), so they cannot disagree.
//   KOVACTL_COMMAND("name", "one-line summary", run_name);
//   KOVACTL_COMMAND("name", "one-line summary", run_name, "ARGUMENTS", "details", "exit status");
// ARGUMENTS is the synopsis after the name ("[STEPS]"; alternatives separated by " | " are shown
// one per line). The details are paragraphs separated by a blank line; a paragraph whose lines
// start with two spaces lists terms, each line "  TERM  explanation" (two spaces or more between).
// The exit status defaults to 0 success, 1 failure, 2 usage error.
#pragma once

#include <vector>

namespace kovactl {

struct Subcommand {
    const char *name;
    const char *summary;
    int (*run)(int argc, char **argv);
    const char *arguments = "";
    const char *details = "";
    const char *exit_status = "";
};

std::vector<Subcommand> &subcommands();

struct Registration {
    explicit Registration(Subcommand s) { subcommands().push_back(s); }
};

// Prints the running command's usage line to standard error and returns 2.
int usage_error();

}  // namespace kovactl

#define KOVACTL_COMMAND(name, summary, fn, ...) \
    static const ::kovactl::Registration kovactl_registration_##fn{{name, summary, fn __VA_OPT__(, ) __VA_ARGS__}}

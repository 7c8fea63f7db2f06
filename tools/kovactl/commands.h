// The subcommands of kovactl. Each takes the arguments after its name and returns the exit code.
#pragma once

namespace kovactl {

int run_demo(int argc, char **argv);
int run_threads(int argc, char **argv);
int run_timers(int argc, char **argv);

}  // namespace kovactl

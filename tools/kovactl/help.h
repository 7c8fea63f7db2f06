// Help texts and the manual page, printed from the command registrations.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "commands.h"

namespace kovactl {

std::string sentence(std::string_view summary);
void print_overview(FILE *out);
void print_usage_line(FILE *out, const Subcommand &command);
void print_command_help(FILE *out, const Subcommand &command);
void print_manual(FILE *out, const char *version);

}  // namespace kovactl

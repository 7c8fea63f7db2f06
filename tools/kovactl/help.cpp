// The help texts and the manual page, both written from the command registrations: one document
// (usage lines, paragraphs, term lists) rendered either as plain text or as roff.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "help.h"

namespace kovactl {
namespace {

constexpr std::string_view kDescription =
    "kovactl brings libkova up in its own process and shows what the library sees and does: "
    "the time base, threads, timers, scheduled work, CPUs and memory, zones, checksums, "
    "configuration files and more. Nothing it runs changes the machine unless the command says so.\n\n"
    "kovactl --help lists the commands; kovactl COMMAND --help prints what the command does, its arguments "
    "and its exit status, as the manual page does.";
constexpr std::string_view kExitStatus = "0 on success, 1 when the operation fails, 2 for a usage error.";

class Writer {
public:
    explicit Writer(FILE *out, bool roff) : out_(out), roff_(roff) {}

    void heading(std::string_view title)
    {
        if (roff_) std::fprintf(out_, ".SH %s\n", upper(title).c_str());
        else std::fprintf(out_, "%s%.*s:\n", started_ ? "\n" : "", static_cast<int>(title.size()), title.data());
        started_ = true;
    }

    void subheading(std::string_view title)
    {
        if (roff_) std::fprintf(out_, ".SS %s\n", escape(title).c_str());
        started_ = true;
    }

    // "usage: kovactl ..." lines, one per alternative.
    void usage(std::string_view command, std::string_view arguments)
    {
        std::vector<std::string> forms;
        for (std::size_t at = 0;;) {
            std::size_t bar = arguments.find(" | ", at);
            forms.emplace_back(arguments.substr(at, bar == std::string_view::npos ? bar : bar - at));
            if (bar == std::string_view::npos) break;
            at = bar + 3;
        }
        if (roff_) std::fputs(".PP\n.nf\n", out_);
        else if (started_) std::fputc('\n', out_);
        for (std::size_t i = 0; i < forms.size(); ++i) {
            std::string line = "kovactl";
            for (std::string_view part : {command, std::string_view(forms[i])})
                if (!part.empty()) line.append(" ").append(part);
            if (roff_) std::fprintf(out_, "\\fB%s\\fR\n", escape(line).c_str());
            else std::fprintf(out_, "%s%s\n", i == 0 ? "usage: " : "       ", line.c_str());
        }
        if (roff_) std::fputs(".fi\n", out_);
        started_ = true;
    }

    // Paragraphs separated by blank lines; a paragraph of lines indented by two spaces is a term list.
    void text(std::string_view body)
    {
        while (!body.empty()) {
            std::size_t end = body.find("\n\n");
            std::string_view paragraph = body.substr(0, end);
            body = end == std::string_view::npos ? std::string_view{} : body.substr(end + 2);
            if (paragraph.starts_with("  ")) terms(paragraph);
            else if (roff_) std::fprintf(out_, ".PP\n%s\n", escape(paragraph).c_str());
            else std::fprintf(out_, "%s%s", started_ ? "\n" : "", wrap(paragraph, 0).c_str());
            started_ = true;
        }
    }

    void command_list()
    {
        for (const Subcommand &s : sorted()) {
            if (roff_) std::fprintf(out_, ".TP\n.B %s\n%s\n", escape(s.name).c_str(), escape(sentence(s.summary)).c_str());
            else std::fprintf(out_, "  %-10s %s\n", s.name, s.summary);
        }
    }

    void command(const Subcommand &s)
    {
        usage(s.name, s.arguments);
        text(sentence(s.summary));
        text(s.details);
        text("Exit status: " + std::string(*s.exit_status != '\0' ? s.exit_status : kExitStatus));
    }

    static std::vector<Subcommand> sorted()
    {
        std::vector<Subcommand> all = subcommands();
        std::sort(all.begin(), all.end(), [](const Subcommand &a, const Subcommand &b) { return std::strcmp(a.name, b.name) < 0; });
        return all;
    }

private:
    void terms(std::string_view paragraph)
    {
        if (!roff_ && started_) std::fputc('\n', out_);
        while (!paragraph.empty()) {
            std::size_t end = paragraph.find('\n');
            std::string_view line = paragraph.substr(0, end);
            paragraph = end == std::string_view::npos ? std::string_view{} : paragraph.substr(end + 1);
            line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
            std::size_t gap = line.find("  ");
            std::string_view term = line.substr(0, gap);
            std::string_view rest = gap == std::string_view::npos ? "" : line.substr(gap);
            rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
            if (roff_) std::fprintf(out_, ".TP\n.B %s\n%s\n", escape(term).c_str(), escape(rest).c_str());
            else {
                std::string head = "  " + std::string(line.substr(0, line.size() - rest.size()));
                std::fprintf(out_, "%s%s", head.c_str(), wrap(rest, head.size()).c_str());
            }
        }
    }

    // Greedy filling to 80 columns from column `indent`, where continuation lines start too.
    static std::string wrap(std::string_view text, std::size_t indent)
    {
        std::string out;
        std::size_t column = indent;
        while (!text.empty()) {
            std::size_t space = text.find(' ');
            std::string_view word = text.substr(0, space);
            text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
            if (word.empty()) continue;
            if (column > indent && column + 1 + word.size() > 80) {
                out.append("\n").append(indent, ' ');
                column = indent;
            } else if (column > indent) {
                out += ' ';
                ++column;
            }
            out += word;
            column += word.size();
        }
        return out + "\n";
    }

    static std::string upper(std::string_view text)
    {
        std::string out(text);
        for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return out;
    }

    // Backslashes and hyphens as roff wants them; a control character at a line start is defused.
    static std::string escape(std::string_view text)
    {
        std::string out;
        bool line_start = true;
        for (char c : text) {
            if (line_start && (c == '.' || c == '\'')) out += "\\&";
            if (c == '\\') out += "\\e";
            else if (c == '-') out += "\\-";
            else out += c;
            line_start = c == '\n';
        }
        return out;
    }

    FILE *out_;
    bool roff_;
    bool started_ = false;
};

}  // namespace

std::string sentence(std::string_view summary)
{
    std::string text(summary);
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

void print_overview(FILE *out)
{
    Writer w(out, false);
    w.usage("", "COMMAND [ARGUMENTS...] | COMMAND --help | --help");
    w.text(kDescription);
    w.heading("commands");
    w.command_list();
    w.text("Exit status: " + std::string(kExitStatus) + " An unknown command is a usage error.");
}

void print_usage_line(FILE *out, const Subcommand &command)
{
    Writer(out, false).usage(command.name, command.arguments);
}

void print_command_help(FILE *out, const Subcommand &command) { Writer(out, false).command(command); }

void print_manual(FILE *out, const char *version)
{
    std::fprintf(out, ".TH KOVACTL 1 \"\" \"libkova %s\" \"User Commands\"\n", version);
    Writer w(out, true);
    w.heading("name");
    std::fputs("kovactl \\- show and exercise libkova on this machine\n", out);
    w.heading("synopsis");
    w.usage("", "COMMAND [ARGUMENTS...] | COMMAND --help | --help");
    w.heading("description");
    w.text(kDescription);
    w.heading("commands");
    for (const Subcommand &s : Writer::sorted()) {
        w.subheading(s.name);
        w.command(s);
    }
    w.heading("exit status");
    w.text(std::string(kExitStatus) + " An unknown command, or arguments a command does not take, print the usage "
           "line of what was asked for on standard error and give 2.");
}

}  // namespace kovactl

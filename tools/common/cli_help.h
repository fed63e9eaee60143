// The --help of a command-line program: the usage lines as the program writes them, then what it
// does, its options group by group and its closing notes, one blank line between the parts.
// Explanations start in one column; an explanation of several lines breaks with "\n" and each
// further line is indented to that column. A group's heading may carry a note, such as the
// syntax its options share, which may run over several lines (CLI11's group names may not).
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vmod_cli {

class ToolHelp : public CLI::Formatter {
  public:
    ToolHelp(std::string usage, std::size_t column) : m_usage(std::move(usage)) {
        column_width(column);
    }

    // What a command does, in its own help, where its description is the one line a list of
    // the program's commands shows.
    ToolHelp& About(std::string text) {
        m_about = std::move(text);
        return *this;
    }

    ToolHelp& GroupNote(const std::string& group, std::string note) {
        m_groupNotes[group] = std::move(note);
        return *this;
    }

    std::string make_usage(const CLI::App*, std::string) const override { return m_usage; }

    std::string make_description(const CLI::App* app) const override {
        return m_about.empty() ? CLI::Formatter::make_description(app) : m_about;
    }

    std::string make_group(std::string group, bool is_positional,
                           std::vector<const CLI::Option*> opts) const override {
        auto note = m_groupNotes.find(group);
        std::string out = group + (note == m_groupNotes.end() ? "" : " " + note->second) + ":\n";
        for (const CLI::Option* opt : opts) {
            out += make_option(opt, is_positional);
        }
        return out;
    }

    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        std::string help = make_usage(app, name);
        for (std::string part :
             {make_description(app), make_positionals(app), make_groups(app, mode),
              make_subcommands(app, mode), make_footer(app)}) {
            part.erase(0, part.find_first_not_of('\n'));
            part.erase(part.find_last_not_of('\n') + 1);
            if (!part.empty()) {
                help += "\n" + part + "\n";
            }
        }
        return help;
    }

  private:
    std::string m_usage;
    std::string m_about;
    std::map<std::string, std::string> m_groupNotes; // group name -> note after its heading
};

// Gives app (a program or one of its commands) its usage lines, each ending in "\n", and the
// column its explanations start in; the layout returned takes the rest.
inline ToolHelp& SetHelpLayout(CLI::App* app, std::string usage, std::size_t column) {
    auto help = std::make_shared<ToolHelp>(std::move(usage), column);
    app->formatter(help);
    return *help;
}

// Refuses an empty value, for options naming a file or a folder.
inline const CLI::Validator kNotEmpty(
    [](std::string& value) { return value.empty() ? std::string("the value is empty") : ""; }, "",
    "NOT EMPTY");

} // namespace vmod_cli

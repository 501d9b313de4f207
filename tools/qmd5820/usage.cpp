// The qmd5820 tool's usage texts (see usage.h).
#include "usage.h"

#include <cstddef>
#include <vector>

namespace qmdtool {
namespace {

// A choice of subcommands longer than this is written as their names only.
constexpr std::size_t kChoiceWidth = 64;

void Append(std::string& text, const std::string& word) {
    if (word.empty()) return;
    if (!text.empty()) text += ' ';
    text += word;
}

std::vector<const CLI::App*> Subcommands(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App*) { return true; });
}

// The positionals of `app` as the usage writes them; optional ones nested ("[A [B]]").
std::string Positionals(const CLI::App& app) {
    std::string text;
    std::size_t open = 0;
    for (const CLI::Option* option : app.get_options()) {
        if (!option->get_positional()) continue;
        std::string word = option->get_type_name().empty() ? option->get_name() : option->get_type_name();
        if (option->get_expected_max() > 1) word += "...";
        if (!option->get_required()) {
            word = "[" + word;
            ++open;
        }
        Append(text, word);
    }
    return text + std::string(open, ']');
}

// Everything `app` itself takes: positionals, options, then its subcommands.
std::string Arguments(const CLI::App& app) {
    std::string text = Positionals(app);
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_positional() || option == app.get_help_ptr() ||
            option->get_group().empty()) {
            continue;
        }
        std::string word = option->get_name();
        Append(word, option->get_type_name());  // flags have none
        Append(text, option->get_required() ? word : "[" + word + "]");
    }
    const std::vector<const CLI::App*> subcommands = Subcommands(app);
    if (subcommands.empty()) return text;
    std::string forms, names;
    for (const CLI::App* sub : subcommands) {
        std::string form = sub->get_name();
        Append(form, Arguments(*sub));
        forms += (forms.empty() ? "" : " | ") + form;
        names += (names.empty() ? "" : "|") + sub->get_name();
    }
    std::string choice = forms.size() <= kChoiceWidth ? forms : names + " ...";
    Append(text, app.get_require_subcommand_min() == 0 ? "[" + choice + "]" : choice);
    return text;
}

// `words` wrapped at 90 columns, each line after the first indented by `indent` spaces.
std::string Wrap(const std::string& words, std::size_t indent, std::size_t first_column) {
    constexpr std::size_t kWidth = 90;
    std::string text;
    std::size_t column = first_column;
    std::size_t at = 0;
    while (at < words.size()) {
        std::size_t end = words.find(' ', at);
        if (end == std::string::npos) end = words.size();
        const std::size_t length = end - at;
        if (column > first_column && column + 1 + length > kWidth) {
            text += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > first_column) {
            text += ' ';
            ++column;
        }
        text.append(words, at, length);
        column += length;
        at = end + 1;
    }
    return text;
}

// "  LEFT                         DESCRIPTION", the description on a line of its own when
// LEFT is too long.
void Entry(std::string& text, const std::string& left, const std::string& description) {
    constexpr std::size_t kColumn = 31;
    text += "  " + left;
    if (left.size() + 2 < kColumn) {
        text += std::string(kColumn - left.size() - 2, ' ');
    } else {
        text += "\n" + std::string(kColumn, ' ');
    }
    text += Wrap(description, kColumn, kColumn) + "\n";
}

}  // namespace

// How the command is typed up to its own arguments: "acquire", "db BOARD add".
std::string Path(const CLI::App& app) {
    const CLI::App* parent = app.get_parent();
    if (parent == nullptr) return {};
    if (parent->get_parent() == nullptr) return app.get_name();
    std::string path = Path(*parent);
    Append(path, Positionals(*parent));
    Append(path, app.get_name());
    return path;
}

std::string Synopsis(const CLI::App& app) {
    if (app.get_parent() == nullptr) return "[options] [command] [arguments]";
    std::string text = Path(app);
    Append(text, Arguments(app));
    return text;
}

std::string FullHelp(const CLI::App& app) {
    std::string text = "usage: qmd5820 " + Synopsis(app) + "\n" + Wrap(app.get_description(), 0, 0) +
                       "\nEach command has its own help: qmd5820 COMMAND --help.\ncommands:\n";
    for (const CLI::App* command : Subcommands(app)) {
        const std::string synopsis = Synopsis(*command);
        if (Subcommands(*command).empty() || Arguments(*command).find(" ...") == std::string::npos) {
            Entry(text, synopsis, command->get_description());
            continue;
        }
        for (const CLI::App* sub : Subcommands(*command)) {
            Entry(text, Synopsis(*sub), sub->get_description());
        }
    }
    for (const char* group : {kGeneralOptions, kSimulatorOptions}) {
        bool titled = false;
        for (const CLI::Option* option : app.get_options()) {
            if (option->get_group() != group) continue;
            if (!titled) text += std::string(group) + ":\n";
            titled = true;
            std::string left = option->get_name();
            Append(left, option->get_type_name());
            Entry(text, left, option->get_description());
        }
    }
    return text + app.get_footer();
}

}  // namespace qmdtool

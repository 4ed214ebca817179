// Following the server's output through the Server section and each module's loading, and
// finding the line each message names.
#include "check_report.h"

#include <cstdlib>
#include <optional>

#include "config_text.h"
#include "message_rules.h"
#include "output_file.h"
#include "root_layout.h"

namespace tvnctl {

namespace {

constexpr std::string_view LOADING = "Loading module library ";
constexpr std::string_view LOADING_END = " ...";
constexpr std::string_view CONFIG_FAILED = "Error configuring the server. I can't go on!";

struct load_line {
    int number;
    std::string file; // the LoadModule value
};

// The output of one stage: the Server section, or the loading of one module.
struct stage {
    bool loads_module = false;         // false for the Server section
    const load_line *module = nullptr; // its LoadModule line, when found
    std::string library;               // ROOT/lib/FILE for a module
    std::vector<std::string> lines;
};

std::string file_name(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The section a module reads, when none of its messages names it.
std::string section_of_library(const std::string &file) {
    const std::string name = file_name(file);
    if (name == "listacct.so") return "mod_virtual_users";
    if (name == "hostacct.so") return "mod_system_users";
    if (name == "journal.so") return "mod_log";
    return "";
}

class locator {
public:
    locator(const std::string &root, std::string_view config)
            : root_(root), config_(config), server_(config_.server_section()) {
        for (size_t at = server_.first; at < server_.end; ++at) {
            const config_line &line = config_.lines()[at];
            if (!skipped_line(line) && line.key == "LoadModule")
                load_lines_.push_back({line.number, line.value});
        }
    }

    std::vector<std::string> report(std::string_view output) {
        std::vector<stage> stages = split_stages(output);
        std::vector<std::string> report;
        for (const stage &part : stages) {
            const std::string section = part.loads_module ? section_of(part) : "";
            for (const std::string &message : part.lines) {
                const int number = line_of(part, section, message);
                report.push_back(number > 0 ? std::string(CONFIG_FILE) + ":" +
                                                  std::to_string(number) + ": " + message
                                            : message);
            }
            if (!part.loads_module) explain_silent_failure(part, report);
        }
        return report;
    }

private:
    std::vector<stage> split_stages(std::string_view output) {
        std::vector<stage> stages(1);
        for (std::string_view line : split_lines(output)) {
            if (line.substr(0, LOADING.size()) == LOADING) {
                line = begin_module(stages, line.substr(LOADING.size()));
                if (line == "ok") continue;
            }
            if (line.find_first_not_of(" \t\r") == std::string_view::npos || line == "ok") continue;
            stages.back().lines.emplace_back(line);
        }
        return stages;
    }

    // Starts the next module's stage; returns what follows the loading line's " ..." (its
    // result, or the first message of the module or of the loader).
    std::string_view begin_module(std::vector<stage> &stages, std::string_view rest) {
        stage next;
        next.loads_module = true;
        const size_t index = stages.size() - 1;
        if (index < load_lines_.size()) {
            next.module = &load_lines_[index];
            next.library = root_ + "lib/" + next.module->file;
        }
        const std::string expected = next.library + std::string(LOADING_END);
        size_t end;
        if (next.module != nullptr && rest.substr(0, expected.size()) == expected)
            end = expected.size();
        else if ((end = rest.find(LOADING_END)) != std::string_view::npos)
            end += LOADING_END.size();
        else
            end = rest.size();
        stages.push_back(std::move(next));
        return rest.substr(end);
    }

    std::string section_of(const stage &part) const {
        for (const std::string &message : part.lines) {
            const auto match = match_message(message, message_scope::module);
            if (match && match->rule->section_from > 0)
                return match->capture(match->rule->section_from);
            const std::string_view text = message;
            constexpr std::string_view unread = "Can't read config file for ";
            if (text.substr(0, unread.size()) == unread && text.ends_with(" module"))
                return std::string(text.substr(unread.size(), text.size() - unread.size() - 7));
        }
        return part.module != nullptr ? section_of_library(part.module->file) : "";
    }

    int line_of(const stage &part, const std::string &section, const std::string &message) const {
        // The loader's own error text begins with the library's path.
        if (part.module != nullptr && !part.library.empty() &&
            message.rfind(part.library + ":", 0) == 0)
            return part.module->number;
        const auto match = match_message(
            message, part.loads_module ? message_scope::module : message_scope::server);
        if (!match) return 0;
        const message_rule &rule = *match->rule;
        const line_range range = !part.loads_module ? server_
                                 : section.empty()  ? line_range{}
                                                    : config_.module_section(section);
        switch (rule.finder) {
        case line_finder::key: {
            const std::string key =
                rule.key_from > 0 ? match->capture(rule.key_from) : std::string(rule.key);
            std::optional<std::string> value;
            if (rule.value_from > 0)
                value = match->capture(rule.value_from);
            else if (!rule.value.empty())
                value = std::string(rule.value);
            return config_.find(range, key, value ? &*value : nullptr);
        }
        case line_finder::server_badly_closed: return server_badly_closed();
        case line_finder::domain_badly_closed:
        case line_finder::repeated_passwd_file:
        case line_finder::domain_without_passwd_file:
        case line_finder::stray_module_line: return in_module_section(rule.finder, range, section);
        case line_finder::load_module: return part.module != nullptr ? part.module->number : 0;
        case line_finder::load_module_past_limit: {
            const size_t limit =
                size_t(std::strtoul(match->capture(rule.key_from).c_str(), nullptr, 10));
            return limit < load_lines_.size() ? load_lines_[limit].number : 0;
        }
        }
        return 0;
    }

    // The last line of the Server section ends it; it is the culprit when it is no closing tag.
    int server_badly_closed() const {
        if (!server_.found()) return 0;
        const config_line &last = config_.lines()[server_.end - 1];
        return !last.key.empty() && last.key.front() == '<' ? last.number : 0;
    }

    // Walks the module section as the account modules do: VirtualDomain subsections, and the
    // lines between them.
    int in_module_section(line_finder finder, line_range range, const std::string &section) const {
        const bool service_account_keys = section == "mod_virtual_users";
        int domain_opened = 0;
        bool has_database = false;
        for (size_t at = range.first; at < range.end; ++at) {
            const config_line &line = config_.lines()[at];
            if (domain_opened == 0) {
                if (opens_tag(line.text, "VirtualDomain")) {
                    domain_opened = line.number;
                    has_database = false;
                } else if (finder == line_finder::stray_module_line && !skipped_line(line) &&
                           !closes_tag(line.text, "module") &&
                           !(service_account_keys &&
                             (line.key == "TvnUser" || line.key == "TvnGroup"))) {
                    return line.number;
                }
                continue;
            }
            if (skipped_line(line)) continue;
            if (line.key.front() == '<') {
                if (line.key.rfind("</", 0) != 0 && finder == line_finder::domain_badly_closed)
                    return line.number;
                if (finder == line_finder::domain_without_passwd_file && !has_database)
                    return domain_opened;
                domain_opened = 0;
                continue;
            }
            if (line.key == "PasswdFile") {
                if (has_database && finder == line_finder::repeated_passwd_file) return line.number;
                has_database = true;
            }
        }
        if (domain_opened > 0 && finder == line_finder::domain_without_passwd_file && !has_database)
            return domain_opened;
        return 0;
    }

    // Some faults of the Server section stop the start without a message of their own.
    void explain_silent_failure(const stage &server_stage, std::vector<std::string> &report) const {
        if (server_stage.lines.size() != 1 || server_stage.lines.front() != CONFIG_FAILED) return;
        for (size_t at = server_.first; at < server_.end; ++at) {
            const config_line &line = config_.lines()[at];
            if (skipped_line(line) || line.key != "SuggestedCacheLevel") continue;
            const long level = std::strtol(line.value.c_str(), nullptr, 10);
            if (level >= 0 && level <= 4) continue;
            report.insert(report.end() - 1, std::string(CONFIG_FILE) + ":" +
                                                std::to_string(line.number) +
                                                ": SuggestedCacheLevel " + line.value +
                                                " is not a level from 0 to 4");
            return;
        }
    }

    const std::string &root_;
    config_text config_;
    line_range server_;
    std::vector<load_line> load_lines_;
};

} // namespace

std::vector<std::string> check_report(const std::string &root, std::string_view config,
                                      std::string_view output) {
    return locator(root, config).report(output);
}

} // namespace tvnctl

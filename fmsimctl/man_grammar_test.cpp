// fmsimctl(8)'s synopsis against fmsimctl itself: every command of it is
// one fmsimctl takes and every word of it is in that command's help; every
// command, word and option of the help is in the page.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cli.h"
#include "help.h"

namespace fmsimctl {
namespace {

bool has_letter(const std::string &s) {
    for (char c : s)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return false;
}

// The words of roff text, \- read as a minus and \f font changes dropped.
std::vector<std::string> words_of(const std::string &text) {
    std::vector<std::string> out;
    std::string cur;
    auto end = [&] {
        if (has_letter(cur) && cur != "...") out.push_back(cur);
        cur.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            c = text[++i];
            if (c == 'f') {
                ++i;
                continue;
            }
        }
        if (std::string_view(" \t\n[]{}|/=,\"").find(c) != std::string_view::npos)
            end();
        else
            cur += c;
    }
    end();
    return out;
}

// The SYNOPSIS's forms, one a .br, each the words of its macro lines.
std::vector<std::vector<std::string>> synopsis(const std::string &man) {
    std::vector<std::vector<std::string>> forms(1);
    std::istringstream in(man);
    bool on = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(".SH", 0) == 0) on = line == ".SH SYNOPSIS";
        if (!on || line.rfind(".SH", 0) == 0) continue;
        if (line == ".br") {
            forms.emplace_back();
            continue;
        }
        std::size_t sp = line[0] == '.' ? line.find(' ') : 0;
        if (sp == std::string::npos) continue;
        for (const std::string &w : words_of(line.substr(sp))) forms.back().push_back(w);
    }
    return forms;
}

// The commands of `fmsimctl help`: COMMAND := { trace | send | ... }.
std::vector<std::string> main_commands() {
    std::string h = kMainHelp;
    std::size_t a = h.find("COMMAND := {"), b = h.find('}', a);
    if (a == std::string::npos || b == std::string::npos) return {};
    return words_of(h.substr(a + 12, b - a - 12));
}

// What `fmsimctl COMMAND help` prints, or "" when fmsimctl refuses it.
std::string command_help(const std::string &cmd) {
    std::string args[] = {"fmsimctl", cmd, "help"};
    char *argv[] = {args[0].data(), args[1].data(), args[2].data(), nullptr};
    std::ostringstream out, err;
    return fmsimctl_main(3, argv, out, err) == 0 ? out.str() : "";
}

std::string joined(const std::set<std::string> &v) {
    std::string s;
    for (const auto &x : v) s += "\n  " + x;
    return s;
}

TEST(ManGrammar, TheSynopsisIsFmsimctlsAndFmsimctlsIsInThePage) {
    std::ifstream f(FMSIMCTL_MAN);
    std::string man(std::istreambuf_iterator<char>(f), {});
    ASSERT_FALSE(man.empty()) << FMSIMCTL_MAN;
    std::vector<std::string> commands = main_commands();
    ASSERT_FALSE(commands.empty());

    std::set<std::string> wrong, missing;
    std::map<std::string, std::set<std::string>> page;  // each command's words
    for (const auto &form : synopsis(man)) {
        std::size_t at = 1;  // past "fmsimctl"
        if (at < form.size() && form[at] == "OPTIONS") ++at;
        if (form.empty() || at >= form.size()) continue;
        const std::string &cmd = form[at];
        if (cmd == "help") continue;
        std::string help = command_help(cmd);
        if (std::find(commands.begin(), commands.end(), cmd) == commands.end() || help.empty()) {
            wrong.insert("command '" + cmd + "'");
            continue;
        }
        std::vector<std::string> hw = words_of(help);
        page[cmd];
        for (std::size_t i = at + 1; i < form.size(); ++i) {
            page[cmd].insert(form[i]);
            if (std::find(hw.begin(), hw.end(), form[i]) == hw.end())
                wrong.insert("'" + form[i] + "' of " + cmd);
        }
    }
    for (const std::string &cmd : commands) {
        if (!page.count(cmd)) missing.insert("command '" + cmd + "'");
        std::istringstream help(command_help(cmd));
        for (std::string line; std::getline(help, line);) {
            std::string_view t(line);
            t.remove_prefix(std::min(t.size(), t.find_first_not_of(' ')));
            if (t.starts_with("Usage: ")) t.remove_prefix(7);
            if (!t.starts_with("fmsimctl " + cmd)) continue;
            for (const std::string &w : words_of(std::string(t.substr(9 + cmd.size()))))
                if (!page[cmd].count(w)) missing.insert("'" + w + "' of `fmsimctl " + cmd + "`");
        }
    }
    // Every option, in the page's OPTIONS as roff writes it.
    std::size_t a = man.find(".SH OPTIONS"), b = man.find(".SH", a + 1);
    std::string options = a == std::string::npos ? "" : man.substr(a, b - a);
    for (const auto &o : kOptionTable) {
        for (std::string w : {std::string("\\-\\-") + o.lng, std::string("\\-") + o.shrt})
            if (options.find(w) == std::string::npos) missing.insert("option " + w);
    }
    EXPECT_TRUE(wrong.empty()) << "fmsimctl.8 says what fmsimctl does not take:" << joined(wrong);
    EXPECT_TRUE(missing.empty()) << "fmsimctl.8 lacks:" << joined(missing);
}

}  // namespace
}  // namespace fmsimctl

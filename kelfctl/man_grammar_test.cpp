// kelfctl(8)'s command grammar against kelfctl's own tables: every object
// and command of the page's grammar lines is the program's, every keyword
// and value name of them is in the object's help, and the reverse: every
// object, command, keyword and value name of the help is in the page.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "objects.h"

namespace kelfctl {
namespace {

struct Token {
    std::string text;
    bool bold;  // a word written as is; otherwise a value's name
};

bool has_letter(const std::string &s) {
    for (char c : s)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return false;
}

// The words of one grammar line of the page, with the font each starts in.
std::vector<Token> roff_tokens(const std::string &line) {
    std::vector<Token> out;
    std::string cur;
    char font = 'R', start = 'R';
    auto end = [&] {
        if (has_letter(cur) && cur != "...") out.push_back({cur, start == 'B'});
        cur.clear();
    };
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            char n = line[++i];
            if (n == 'f' && i + 1 < line.size()) {
                font = line[++i] == 'P' ? 'R' : line[i];
                continue;
            }
            c = n;  // \- is a minus
        }
        if (std::string_view(" \t\n[]{}|/=,").find(c) != std::string_view::npos) {
            end();
            continue;
        }
        if (cur.empty()) start = font;
        cur += c;
    }
    end();
    return out;
}

// The words of the program's grammar: the lines after "kelfctl" in its
// usage lines, and NAME := { ... } definitions up to their closing brace.
std::vector<std::string> help_grammar_words(const std::string &help) {
    std::vector<std::string> words;
    std::istringstream in(help);
    int depth = 0;
    for (std::string line; std::getline(in, line);) {
        std::string text;
        std::string_view trimmed(line);
        trimmed.remove_prefix(std::min(trimmed.size(), trimmed.find_first_not_of(' ')));
        if (trimmed.starts_with("Usage: ")) trimmed.remove_prefix(7);
        if (depth == 0 && trimmed.starts_with("kelfctl ")) {
            text = trimmed.substr(8);
        } else if (std::size_t d = line.find(":="); depth > 0 || d != std::string::npos) {
            std::string rest = depth > 0 ? line : line.substr(d + 2);
            if (depth == 0 && rest.find('{') == std::string::npos) continue;  // prose
            for (char c : rest) {
                depth += c == '{' ? 1 : c == '}' ? -1 : 0;
                text += c;
                if (depth == 0 && c == '}') break;
            }
        }
        for (const Token &t : roff_tokens(text)) words.push_back(t.text);
    }
    return words;
}

std::set<std::string> all_words(const std::string &help) {
    std::set<std::string> s;
    for (const Token &t : roff_tokens(help)) {
        s.insert(t.text);
        std::size_t a = t.text.find_first_not_of(".;:()`'\""),
                    b = t.text.find_last_not_of(".;:()`'\"");
        if (a != std::string::npos) s.insert(t.text.substr(a, b - a + 1));
    }
    return s;
}

const Object *find(std::string_view name) {
    for (const Object &o : objects())
        if (name == o.name) return &o;
    return nullptr;
}

bool has_command(const Object &o, std::string_view w) {
    for (const Command &c : o.commands) {
        if (w == c.name || (c.alias != nullptr && w == c.alias)) return true;
        for (const char *m : c.more)
            if (w == m) return true;
    }
    return false;
}

struct Page {
    std::map<std::string, std::set<std::string>> words;  // of each object's grammar lines
    std::map<std::string, std::set<std::string>> commands;
    std::vector<std::string> faults;
};

// The .nf blocks of the OBJECTS section: a line that starts with a bold
// object name is a command line; the lines after it (definitions,
// continuations) belong to its object.
Page read_page(const std::string &path) {
    Page p;
    std::ifstream f(path);
    EXPECT_TRUE(f.good()) << path;
    bool objects_section = false, block = false;
    std::string object;
    for (std::string line; std::getline(f, line);) {
        if (line.rfind(".SH", 0) == 0) objects_section = line == ".SH OBJECTS";
        if (!objects_section) continue;
        if (line == ".nf" || line == ".fi") {
            block = line == ".nf";
            continue;
        }
        if (!block || line.empty()) continue;
        std::vector<Token> t = roff_tokens(line);
        if (line.rfind("\\fB", 0) == 0 && !t.empty() && find(t[0].text) != nullptr) {
            object = t[0].text;
            const Object &o = *find(object);
            if (!o.commands.empty()) {
                if (t.size() < 2 || !has_command(o, t[1].text))
                    p.faults.push_back("kelfctl has no command '" +
                                       (t.size() < 2 ? std::string() : t[1].text) + "' of " +
                                       object + " (page line: " + line + ")");
                else
                    p.commands[object].insert(t[1].text);
            }
            t.erase(t.begin(), t.begin() + (o.commands.empty() ? 1 : 2));
        } else if (line.rfind("\\fB", 0) == 0 && !t.empty() && t[0].bold) {
            p.faults.push_back("kelfctl has no object '" + t[0].text + "' (page line: " + line +
                               ")");
            continue;
        }
        if (object.empty()) continue;
        std::set<std::string> help = all_words(find(object)->help);
        for (const Token &w : t) {
            p.words[object].insert(w.text);
            if (!help.count(w.text))
                p.faults.push_back("'" + w.text + "' of the page's " + object +
                                   " grammar is not in `kelfctl " + object + " help`");
        }
    }
    return p;
}

template <typename C>
std::string joined(const C &v) {
    std::string s;
    for (const auto &x : v) s += "\n  " + x;
    return s;
}

TEST(ManGrammar, ThePagesGrammarIsTheProgramsAndTheProgramsIsInThePage) {
    Page p = read_page(KELFCTL_MAN);
    ASSERT_FALSE(p.words.empty()) << "no grammar lines read from " << KELFCTL_MAN;
    EXPECT_TRUE(p.faults.empty()) << "kelfctl.8 says what kelfctl does not take:"
                                  << joined(p.faults);

    std::ifstream f(KELFCTL_MAN);
    std::string man(std::istreambuf_iterator<char>(f), {});
    std::set<std::string> missing;
    for (const Object &o : objects()) {
        std::string name = o.name;
        if (o.commands.empty()) {
            // raw has a grammar line; check, apply and save a section each.
            if (!p.words.count(name) && man.find(".SS " + name + "\n") == std::string::npos)
                missing.insert("object " + name);
            continue;
        }
        for (const Command &c : o.commands)
            if (!p.commands[name].count(c.name))
                missing.insert("command '" + name + " " + c.name + "'");
        for (const std::string &w : help_grammar_words(o.help)) {
            if (w == name || w == "help" || has_command(o, w) || p.words[name].count(w)) continue;
            missing.insert("'" + w + "' of `kelfctl " + name + " help`");
        }
    }
    // The objects `kelfctl help` names in its grammar are the table's.
    std::vector<std::string> listed = help_grammar_words(main_help());
    for (const Object &o : objects())
        if (std::find(listed.begin(), listed.end(), o.name) == listed.end())
            missing.insert("object " + std::string(o.name) + " in `kelfctl help`'s OBJECT");
    EXPECT_TRUE(missing.empty()) << "kelfctl.8's grammar lacks:" << joined(missing);
}

}  // namespace
}  // namespace kelfctl

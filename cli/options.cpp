#include "options.h"

namespace kelfctl {

const Option *find_option(std::span<const Option> table, const std::string &word,
                          std::string *inline_value, bool *has_inline) {
    *has_inline = false;
    if (word.size() < 2 || word[0] != '-') return nullptr;
    const bool dashes = word[1] == '-';
    std::string name = word.substr(dashes ? 2 : 1);
    if (std::size_t eq = name.find('='); eq != std::string::npos && dashes) {
        *inline_value = name.substr(eq + 1);
        *has_inline = true;
        name.resize(eq);
    }
    for (const Option &o : table)
        if (name == o.lng || (o.alias != nullptr && name == o.alias) ||
            (!dashes && name.size() == 1 && name[0] == o.shrt))
            return &o;
    return nullptr;
}

int parse_options(int argc, char **argv, std::span<const Option> table,
                  const std::function<void(const Option &, const std::string &)> &each) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string w = argv[i];
        if (w == "--") return i + 1;
        if (w.size() < 2 || w[0] != '-') break;
        std::string v;
        bool inline_value = false;
        const Option *o = find_option(table, w, &v, &inline_value);
        if (o == nullptr) throw OptionError("unknown option '" + w + "'");
        if (o->value && !inline_value) {
            if (i + 1 >= argc) throw OptionError("option " + w + " needs a value");
            v = argv[++i];
        }
        if (!o->value && inline_value) throw OptionError("option " + w + " takes no value");
        each(*o, v);
    }
    return i;
}

}  // namespace kelfctl

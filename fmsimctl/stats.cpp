// fmsimctl stats: per switch the ACL compiles and applies fmsim carried
// out, and the rules it holds.
#include <fmsim/control.h>

#include <ostream>

#include "command.h"
#include "output.h"

namespace fmsimctl {

int cmd_stats(Ctx &c, std::vector<std::string> &w) {
    no_more(w);
    Link link(c.socket, c.timeout);
    Body b(fmsim::control::kStats);
    Json j = parse_json(link.call(b.data()));
    if (!j.contains("switches") || !j["switches"].is_array())
        refused("fmsim's statistics are malformed");
    kelfctl::Table t(
        "switches",
        {{"unit", "UNIT"}, {"compiles", "COMPILES"}, {"applies", "APPLIES"}, {"rules", "RULES"}});
    for (const auto &s : j["switches"])
        t.row({kelfctl::num(s.value("unit", 0)), kelfctl::unum(s.value("compiles", 0ull)),
               kelfctl::unum(s.value("applies", 0ull)), kelfctl::unum(s.value("rules", 0ull))});
    if (c.json)
        *c.out << c.dump(t.json()) << '\n';
    else
        t.text(*c.out);
    return kExitOk;
}

}  // namespace fmsimctl

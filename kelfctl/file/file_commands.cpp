// The configuration file's commands: check, apply, save.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "config.h"
#include "objects.h"
#include "staging.h"

namespace kelfctl {
namespace {

const char kCheckHelp[] = R"(Usage: kelfctl check FILE
       kelfctl check help

Reads and validates the whole configuration FILE (- reads standard input)
and reports every error as FILE:LINE. With kelfd running, it also prints
the plan: what `apply FILE` would create, change and remove.
Exit status: 0 valid and (with kelfd) nothing to do; 1 something to do;
2 FILE is not valid; 3 kelfd did not answer in time. Without kelfd, only
the file is checked. See kelfd.conf(5) for the file.
)";

const char kApplyHelp[] = R"(Usage: kelfctl apply FILE
       kelfctl apply help

Makes each unit FILE names equal to it: validates the whole file first (a
file with an error changes nothing), then creates, changes and removes
what differs, and prints a summary. The rule changes of each unit take
force at once, in one transaction: frames meet the old rules or the new,
never a mix, and a failure or an interrupt before the commit leaves the
rules as they were. Groups, mirrors and multicast groups are made before
the commit that puts rules on them and removed after the commit that takes
their last rule away. Another apply to the same unit waits for this one.
A second apply of the same file sends nothing that changes the switch.
kelfctl records what it applied beside kelfd's socket (kelfctl.applied),
tied to the kelfd process. Against a kelfd without transactions the
changes go one by one (kelfctl says so): a failure part-way stops and says
what was done; applying the file again completes it. See kelfd.conf(5).
)";

const char kSaveHelp[] = R"(Usage: kelfctl save [FILE] [--partial]
       kelfctl save help

Writes the configuration of every unit kelfd runs as a file that `apply`
takes (to standard output without FILE). What neither kelfd nor the record
of `apply` can describe exactly (a rule added by hand may hold a vlan-tag
or set-* action kelfd does not report; a group's ports; a mirror's VLAN)
is listed and nothing is written, with exit status 1; --partial writes the
rest and lists what is left out. See kelfd.conf(5).
)";

std::string run_dir_of(const Session &s) {
    return s.run_dir;
}

ConfigFile read_file(Session &s, Args &a, std::string &name) {
    name = a.next("FILE");
    a.finish();
    if (name == "-") {
        std::stringstream ss;
        ss << std::cin.rdbuf();
        return parse_config(s, ss, name, s.unit);
    }
    std::ifstream in(name);
    if (!in) usage("cannot read configuration file '" + name + "'");
    return parse_config(s, in, name, s.unit);
}

// Prints the errors of an invalid file and fails with status 2.
void require_valid(Session &s, const ConfigFile &f) {
    if (f.errors.empty()) return;
    for (const auto &e : f.errors) s.err() << e << '\n';
    if (s.json) {
        Json j = Json::object();
        j["file"] = f.name;
        j["valid"] = false;
        j["errors"] = f.errors;
        s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
    }
    Failure e(kExitUsage, f.name + " is not valid: " + std::to_string(f.errors.size()) +
                              (f.errors.size() == 1 ? " error" : " errors") +
                              "; nothing was changed");
    e.printed = true;
    throw e;
}

Json step_json(const Step &st) {
    Json j = Json::object();
    j["op"] = op_name(st.op);
    j["unit"] = st.unit;
    j["object"] = st.object;
    j["text"] = st.text;
    return j;
}

struct Counts {
    int created = 0, changed = 0, removed = 0;
    void add(Step::Op op) {
        if (op == Step::Op::Create)
            ++created;
        else if (op == Step::Op::Change)
            ++changed;
        else
            ++removed;
    }
    std::string text(int unchanged) const {
        return std::to_string(created) + " created, " + std::to_string(changed) + " changed, " +
               std::to_string(removed) + " removed, " + std::to_string(unchanged) + " unchanged";
    }
    void put(Json &j, int unchanged) const {
        j["created"] = created;
        j["changed"] = changed;
        j["removed"] = removed;
        j["unchanged"] = unchanged;
    }
};

std::string units_text(const ConfigFile &f) {
    std::string u;
    for (const auto &[n, x] : f.units) u += (u.empty() ? "" : ", ") + std::to_string(n);
    return (f.units.size() == 1 ? "unit " : "units ") + u;
}

void check(Session &s, Args &a) {
    std::string name;
    ConfigFile f = read_file(s, a, name);
    require_valid(s, f);
    AppliedRecord rec(run_dir_of(s));
    Plan plan;
    try {
        plan = make_plan(s, f, rec);
    } catch (const Failure &e) {
        if (e.status != kExitUnreachable) throw;
        // kelfd not running: the file alone is checked.
        if (s.json) {
            Json j = Json::object();
            j["file"] = f.name;
            j["valid"] = true;
            j["plan"] = nullptr;
            s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
        } else {
            s.out() << f.name << " is valid; kelfd did not answer, so no plan (" << e.what()
                    << ")\n";
        }
        return;
    }
    Counts c;
    Json steps = Json::array();
    for (const Step &st : plan.steps) {
        c.add(st.op);
        steps.push_back(step_json(st));
        if (!s.json) s.out() << op_name(st.op) << "  unit " << st.unit << "  " << st.text << '\n';
    }
    if (s.json) {
        Json j = Json::object();
        j["file"] = f.name;
        j["valid"] = true;
        j["plan"] = steps;
        j["in_sync"] = plan.steps.empty();
        c.put(j, plan.unchanged);
        s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
    } else if (plan.steps.empty()) {
        s.out() << units_text(f) << " as " << f.name << " says (" << plan.unchanged
                << " unchanged)\n";
    } else {
        s.out() << "apply would make: " << c.text(plan.unchanged) << '\n';
    }
    if (!plan.steps.empty()) {
        Failure e(kExitRefused,
                  units_text(f) + (f.units.size() == 1 ? " differs from " : " differ from ") +
                      f.name + ": " + std::to_string(plan.steps.size()) + " changes to make");
        e.printed = true;
        throw e;
    }
}

void apply(Session &s, Args &a) {
    std::string name;
    ConfigFile f = read_file(s, a, name);
    require_valid(s, f);
    AppliedRecord rec(run_dir_of(s));
    if (!rec.valid())
        s.err() << "kelfctl: warning: no record of what is applied is kept (" << rec.why_void()
                << "): what kelfd cannot report is sent again at every apply\n";
    // Each unit's rules change in one transaction, held from before the
    // plan reads the unit to its commit, so that another apply waits.
    Staging staging(s, "the apply of " + f.name);
    for (const auto &ue : f.units) staging.hold(ue.first);
    Plan plan = make_plan(s, f, rec);
    // The record must be writable before the first change, not after it.
    if (!plan.steps.empty()) rec.compact();
    Counts done;
    int requests = 0;
    Json steps = Json::array();
    std::set<int> ruled;  // units whose rule steps have been staged
    for (std::size_t i = 0; i <= plan.steps.size(); ++i) {
        const bool last = i == plan.steps.size();
        const Step *st = last ? nullptr : &plan.steps[i];
        bool committing = false;
        try {
            staging.check_interrupt();
            if (last) {
                committing = true;
                staging.commit_all();
                break;
            }
            // Make before break: objects the new rules use exist before the
            // commit; those only the old rules used go after it.
            if (st->object == "rule") {
                ruled.insert(st->unit);
            } else if (ruled.count(st->unit)) {
                committing = true;
                staging.commit(st->unit);
                committing = false;
            }
            requests += st->run(s);
        } catch (const Failure &e) {
            std::string at = committing ? std::string("the commit of the rules")
                                        : std::string(op_name(st->op)) + " unit " +
                                              std::to_string(st->unit) + " " + st->text;
            std::string msg = "apply stopped at " + at + ": " + e.what() +
                              (staging.atomic() ? "; rule changes not committed did not take force"
                                                : std::string()) +
                              "; done before it: " + done.text(plan.unchanged) + " (" +
                              std::to_string(requests) + " requests); " +
                              std::to_string(plan.steps.size() - i) + " steps left: apply " +
                              f.name + " again to complete it";
            if (last) st = plan.steps.empty() ? nullptr : &plan.steps.back();
            if (s.json) {
                Json j = Json::object();
                j["file"] = f.name;
                j["done"] = steps;
                if (st != nullptr) j["failed"] = step_json(*st);
                j["error"] = e.what();
                done.put(j, plan.unchanged);
                j["requests"] = requests;
                s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
            }
            Failure out(e.status == kExitUsage ? kExitRefused : e.status, msg);
            out.printed = true;
            throw out;
        }
        done.add(st->op);
        steps.push_back(step_json(*st));
        if (s.details && !s.json)
            s.out() << op_name(st->op) << "d  unit " << st->unit << "  " << st->text << '\n';
    }
    settle_record(rec, f);
    if (s.json) {
        Json j = Json::object();
        j["file"] = f.name;
        j["done"] = steps;
        done.put(j, plan.unchanged);
        j["requests"] = requests;
        s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
    } else if (plan.steps.empty()) {
        s.out() << units_text(f) << " already as " << f.name << " says: nothing changed ("
                << plan.unchanged << " unchanged)\n";
    } else {
        s.out() << "applied " << f.name << " to " << units_text(f) << ": "
                << done.text(plan.unchanged) << " (" << requests << " requests)\n";
    }
}

void save(Session &s, Args &a) {
    std::optional<std::string> file;
    bool partial = false;
    while (!a.done()) {
        std::string w = a.next("FILE");
        if (w == "--partial" || w == "-partial")
            partial = true;
        else if (!file)
            file = w;
        else
            usage("unexpected '" + w + "'");
    }
    AppliedRecord rec(run_dir_of(s));
    s.require_unit();  // also learns how many switches run
    std::vector<int> units;
    for (int u = 0; u < *s.switches; ++u) units.push_back(u);
    Saved sv = save_config(s, units, rec);
    bool write = sv.missing.empty() || partial;
    std::string text =
        "# kelfd configuration written by kelfctl save; kelfctl apply FILE restores it.\n" +
        sv.text;
    if (write && file) {
        std::string tmp = *file + ".tmp";
        {
            std::ofstream o(tmp, std::ios::trunc);
            o << text;
            o.flush();
            if (!o) refused("cannot write '" + tmp + "'");
        }
        if (std::rename(tmp.c_str(), file->c_str()) != 0) refused("cannot write '" + *file + "'");
    }
    for (const auto &m : sv.missing) s.err() << "kelfctl: cannot describe " << m << '\n';
    if (s.json) {
        Json j = Json::object();
        if (file) j["file"] = *file;
        j["written"] = write;
        j["missing"] = sv.missing;
        if (write && !file) j["config"] = text;
        s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
    } else if (write && !file) {
        s.out() << text;
    } else if (write) {
        s.out() << "saved " << units.size() << (units.size() == 1 ? " unit" : " units") << " to "
                << *file << '\n';
    }
    if (!write) {
        Failure e(kExitRefused,
                  std::to_string(sv.missing.size()) +
                      " items cannot be described; nothing written (--partial writes the rest)");
        e.printed = true;
        throw e;
    }
}

}  // namespace

std::vector<Object> config_file_objects() {
    return {
        {"check",
         nullptr,
         "validate a configuration file; with kelfd, show the plan",
         kCheckHelp,
         check,
         {}},
        {"apply", nullptr, "make the switch equal to a configuration file", kApplyHelp, apply, {}},
        {"save", nullptr, "write the switch's configuration as a file", kSaveHelp, save, {}},
    };
}

}  // namespace kelfctl

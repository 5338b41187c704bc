// The configuration file's commands: check, apply, save.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "config.h"
#include "objects.h"
#include "staging.h"

namespace kelfctl {
namespace {

const char kCheckHelp[] = R"(Usage: kelfctl check [--offline] FILE
       kelfctl check help

Reads and validates the whole configuration FILE (- reads standard input)
and reports every error as FILE:LINE, then asks kelfd and prints the plan:
what `apply FILE` would create, change and remove. --offline checks the
file alone, without kelfd (a deployment's validate step, CI).
Exit status: 0 valid and nothing to do (offline: valid); 1 changes to make;
2 FILE is not valid; 3 kelfd cannot be reached (not running, refused, no
permission, no answer in time); 4 a unit FILE names is not up. With -j the
document's "status" member says the same. See kelfd.conf(5) for the file.
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
The names the file gives groups, and the comments of its rules, are kept
by kelfd while it runs (its labels): every listing shows them, and the next
apply finds the groups by them. Against a kelfd without transactions the
changes go one by one (kelfctl says so): a failure part-way stops and says
what was done; applying the file again completes it. See kelfd.conf(5).
)";

const char kSaveHelp[] = R"(Usage: kelfctl save [FILE] [--partial]
       kelfctl save help

Writes the configuration of every unit kelfd runs as a file that `apply`
takes (to standard output without FILE), hand-made rules and groups
included: unit, configuration, masks, the hash and port fields that differ
from the start, groups, mirrors, multicast groups, rules by group and id (a
port range kelfctl split written as the range). FILE is replaced at once,
keeping its mode and owner; through a symlink the file it names is written.
What cannot be described (configuration fan-in; against a kelfd without
read-backs, what it does not report) is listed and nothing is written, with
exit status 1; --partial writes the rest. See kelfd.conf(5).
)";

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
        j["status"] = kExitUsage;
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

constexpr int kExitUnitDown = 4;

// The end of a check: its document with -j, its status word in both.
[[noreturn]] void check_ends(Session &s, Json j, int status, const std::string &msg) {
    if (s.json) {
        j["status"] = status;
        s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
    }
    Failure e(status, msg);
    e.printed = s.json;
    throw e;
}

void check(Session &s, Args &a) {
    bool offline = a.accept("--offline", "-offline");
    std::string name;
    ConfigFile f = read_file(s, a, name);
    require_valid(s, f);
    Json j = Json::object();
    j["file"] = f.name;
    j["valid"] = true;
    if (offline) {
        if (s.json) {
            j["plan"] = nullptr;
            j["status"] = kExitOk;
            s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
        } else {
            s.out() << f.name << " is valid (checked offline: kelfd was not asked)\n";
        }
        return;
    }
    AppliedRecord rec(s);
    // Whatever stops the reads, nothing was compared: never status 1, which
    // says there are changes to make.
    auto not_compared = [&](const Failure &e) {
        if (e.printed) throw e;
        j["plan"] = nullptr;
        j["error"] = e.what();
        check_ends(s, j, kExitUnreachable,
                   f.name + " is valid, but " +
                       (e.status == kExitUnreachable ? "kelfd cannot be reached"
                                                     : "kelfd's state could not be read") +
                       ", so nothing is compared: " + e.what() +
                       " (check --offline checks the file alone)");
    };
    int up = 0;
    try {
        up = s.switch_count();
    } catch (const Failure &e) {
        not_compared(e);
    }
    for (const auto &ue : f.units)
        if (ue.first >= up) {
            j["plan"] = nullptr;
            check_ends(s, j, kExitUnitDown,
                       f.name + " is valid, but unit " + std::to_string(ue.first) +
                           " is not up (kelfd runs " + std::to_string(up) +
                           (up == 1 ? " switch" : " switches") + ")");
        }
    Plan plan;
    try {
        plan = make_plan(s, f, rec);
    } catch (const Failure &e) {
        not_compared(e);
    }
    Counts c;
    Json steps = Json::array();
    for (const Step &st : plan.steps) {
        c.add(st.op);
        steps.push_back(step_json(st));
        if (!s.json) s.out() << op_name(st.op) << "  unit " << st.unit << "  " << st.text << '\n';
    }
    j["plan"] = steps;
    j["in_sync"] = plan.steps.empty();
    c.put(j, plan.unchanged);
    if (plan.steps.empty()) {
        if (s.json) {
            j["status"] = kExitOk;
            s.out() << j.dump(s.pretty ? 2 : -1) << '\n';
        } else {
            s.out() << units_text(f) << " as " << f.name << " says (" << plan.unchanged
                    << " unchanged)\n";
        }
        return;
    }
    if (!s.json) s.out() << "apply would make: " << c.text(plan.unchanged) << '\n';
    check_ends(s, j, kExitRefused,
               units_text(f) + (f.units.size() == 1 ? " differs from " : " differ from ") + f.name +
                   ": " + std::to_string(plan.steps.size()) + " changes to make");
}

void apply(Session &s, Args &a) {
    std::string name;
    ConfigFile f = read_file(s, a, name);
    require_valid(s, f);
    AppliedRecord rec(s);
    if (!rec.valid())
        s.err() << "kelfctl: warning: " << rec.why_void()
                << ": what it cannot report is sent again at every apply\n";
    // Each unit's rules change in one transaction, held from before the
    // plan reads the unit to its commit, so that another apply waits.
    Staging staging(s, "the apply of " + f.name);
    for (const auto &ue : f.units) staging.hold(ue.first);
    Plan plan = make_plan(s, f, rec);
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

// Writes text to path as one change: a new file beside the one a symlink
// path names (the link stays), with that file's mode and owner, renamed
// over it once written whole.
void write_atomically(const std::string &path, const std::string &text) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target = path;
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        fs::path real = fs::canonical(target, ec);
        if (ec) {
            // A link to a file not there yet: the file it names.
            fs::path to = fs::read_symlink(target, ec);
            real = to.is_absolute() ? to : target.parent_path() / to;
        }
        target = real;
    }
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string tmpl = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    // What is no regular file (a device, a pipe) is written as it is, and
    // so is a file in a directory this user may not add to.
    const int fd = exists && !S_ISREG(st.st_mode) ? -1 : ::mkstemp(name.data());
    if (fd < 0) {
        if (exists && S_ISREG(st.st_mode) && errno != EACCES && errno != EROFS)
            refused("cannot write '" + path + "': " + std::strerror(errno));
        std::ofstream o(target, std::ios::trunc);
        o << text;
        o.flush();
        if (!o) refused("cannot write '" + path + "'");
        return;
    }
    struct Tmp {
        int fd;
        std::string name;
        bool kept = false;
        ~Tmp() {
            if (fd >= 0) ::close(fd);
            if (!kept) ::unlink(name.c_str());
        }
    } tmp{fd, name.data()};
    if (exists) {
        // The file keeps its mode and owner; one kelfctl may not give it
        // (another user's, as a user) it says so.
        if (::fchmod(fd, st.st_mode & 07777) != 0 ||
            ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
             ::fchown(fd, st.st_uid, st.st_gid) != 0))
            refused("cannot write '" + path +
                    "' keeping its owner and mode: " + std::strerror(errno));
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    std::size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) refused("cannot write '" + tmp.name + "': " + std::strerror(errno));
        off += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) refused("cannot write '" + tmp.name + "': " + std::strerror(errno));
    if (::rename(tmp.name.c_str(), target.c_str()) != 0)
        refused("cannot write '" + target.string() + "': " + std::strerror(errno));
    tmp.kept = true;
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
    AppliedRecord rec(s);
    s.require_unit();  // also learns how many switches run
    std::vector<int> units;
    for (int u = 0; u < *s.switches; ++u) units.push_back(u);
    Saved sv = save_config(s, units, rec);
    bool write = sv.missing.empty() || partial;
    std::string text =
        "# kelfd configuration written by kelfctl save; kelfctl apply FILE restores it.\n" +
        sv.text;
    if (write && file) write_atomically(*file, text);
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

// config.h - a switch configuration kept in a file: the file's model (what
// each unit it names should hold), what kelfd holds of it, the plan that
// brings a unit to the file's state, and the file that describes a unit's
// current state.
//
// The file is written in kelfctl's own command lines, restricted to the
// commands that describe state. Objects whose numbers the switch chooses
// (load-balancing groups, multicast groups) get names in the file; kelfd
// keeps each name as the object's label.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <istream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "distribution.h"
#include "rule.h"
#include "session.h"

namespace kelfctl {

// One rule of the file after its port ranges are split; lbg names the
// group by its name in the file (the target is filled in when resolved).
struct FileRule {
    RuleDef def;
    std::string lbg;    // empty unless the action is lbg
    std::string mcast;  // the multicast group a redirect sends to, by name
    int line = 0;
};

struct FileLbg {
    std::vector<int> ports;  // as written: a port listed twice has a double share
    int line = 0;
};

struct FileMirror {
    std::vector<int> ports;  // sorted, without duplicates
    int vlan = 0;            // 0: none
    int line = 0;
};

struct FileMcast {
    std::set<std::pair<int, int>> listeners;  // (port, vlan)
    int line = 0;
};

// Port properties by keyword: parser, frame-update, ttl-update.
using PortProps = std::map<std::string, std::int64_t>;

struct UnitConfig {
    int cfg = 5;                            // the start-up configuration unless the file sets one
    std::map<int, std::vector<int>> masks;  // port -> the ports it forwards to
    HashFields l2, l3;                      // only the fields the file names
    std::map<int, PortProps> ports;
    std::map<std::string, FileLbg> lbgs;
    std::map<int, FileMirror> mirrors;
    std::map<std::string, FileMcast> mcasts;
    std::map<std::pair<int, std::int64_t>, FileRule> rules;  // (group, id)
};

struct ConfigFile {
    std::string name;
    std::map<int, UnitConfig> units;
    std::vector<std::string> errors;  // "FILE:LINE: message", every one found
};

// Reads and validates a whole file. Lines before the first `unit N` belong
// to default_unit. s gives port checks their unit in messages; nothing is
// sent.
ConfigFile parse_config(Session &s, std::istream &in, const std::string &name, int default_unit);

// What kelfd holds of one unit, as its read-backs give it: the groups by
// name (kelfd's labels; a group without one goes by lbgN or mcastN), the
// mirrors' VLANs, the multicast listeners and every rule whole.
struct UnitRecord {
    std::map<std::string, std::pair<int, std::vector<int>>> lbgs;  // name -> number, ports
    std::map<std::string, std::pair<int, std::set<std::pair<int, int>>>>
        mcasts;                                             // name -> number, listeners
    std::map<std::string, int> mcast_ports;                 // name -> its logical port
    std::map<int, int> mirror_vlans;                        // mirror -> VLAN, 0 none
    std::map<int, std::vector<int>> mirror_ports;           // mirror -> monitored ports
    std::map<std::pair<int, std::int64_t>, RuleDef> rules;  // as held, lbg numbers
};

// The held state of the units a plan or a save reads. Without kelfd's
// read-backs it is void (valid() false): names, VLANs and listeners are
// then unknown. The plan's changes keep it true, and name what they make
// in kelfd (labels), so that the next plan finds them by name.
class AppliedRecord {
public:
    explicit AppliedRecord(Session &s);
    bool valid() const { return valid_; }
    std::string why_void() const { return why_; }
    std::map<int, UnitRecord> units;
    // Reads the unit back; nothing when void.
    void load(int unit);

    void lbg(int unit, const std::string &name, int number, const std::vector<int> &ports);
    void lbg_gone(int unit, const std::string &name);
    void mcast(int unit, const std::string &name, int number);
    void listener(int unit, const std::string &name, int port, int vlan);
    void mcast_gone(int unit, const std::string &name);
    void mirror_vlan(int unit, int mirror, int vlan);
    void mirror_gone(int unit, int mirror);
    void rule(int unit, const RuleDef &r);
    void rule_gone(int unit, int group, std::int64_t id);

private:
    Session &s_;
    std::string why_;
    bool valid_ = false;
};

// The name a group without a label goes by: lbg3, mcast7.
std::string default_name(const char *kind, int number);
// The bins of a group over ports, filled round-robin, as the shortest list
// that gives them: two lists that spread traffic alike compare equal.
std::vector<int> lbg_share(const std::vector<int> &ports);

// One change the plan makes.
struct Step {
    enum class Op { Create, Change, Remove };
    Op op;
    int unit;
    std::string object;  // "rule", "lbg", "mirror", "mcast", "mask", "config", "hash", "port"
    std::string text;    // what changes, in the file's words
    std::function<int(Session &)> run;  // sends its requests; returns how many changed something
};

struct Plan {
    std::vector<Step> steps;
    int unchanged = 0;
};

// The plan that brings each unit of the file to its state; reads kelfd
// (and uses the record) but changes nothing.
Plan make_plan(Session &s, const ConfigFile &f, AppliedRecord &rec);

// The rules as `rule list -d` writes them against a kelfd without
// read-backs: a rule whose action kelfd does not report is left out and
// named in missing.
std::vector<RuleDef> export_forms(Session &s, const std::vector<RuleDef> &rules,
                                  std::vector<std::string> *missing);

// The file that describes the units' current state; missing lists what
// kelfd cannot report (left out of the text), which only a kelfd without
// read-backs leaves.
struct Saved {
    std::string text;
    std::vector<std::string> missing;
};
Saved save_config(Session &s, const std::vector<int> &units, AppliedRecord &rec);

const char *op_name(Step::Op op);
// pairs, isolated, mesh; other numbers as numbers.
std::string cfg_word(int cfg);

}  // namespace kelfctl

// config.h - a switch configuration kept in a file: the file's model (what
// each unit it names should hold), the record of what kelfctl applied to
// the running kelfd, the plan that brings a unit to the file's state, and
// the file that describes a unit's current state.
//
// The file is written in kelfctl's own command lines, restricted to the
// commands that describe state. Objects whose numbers the switch chooses
// (load-balancing groups, multicast groups) get names in the file; the
// record maps each name to the number the switch gave it.
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
    std::string lbg;  // empty unless the action is lbg
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

// What kelfctl applied to one daemon process, per unit.
struct UnitRecord {
    std::map<std::string, std::pair<int, std::vector<int>>> lbgs;  // name -> number, ports
    std::map<std::string, std::pair<int, std::set<std::pair<int, int>>>>
        mcasts;                                             // name -> number, listeners
    std::map<int, int> mirror_vlans;                        // mirror -> VLAN, 0 none
    std::map<std::pair<int, std::int64_t>, RuleDef> rules;  // as sent, lbg numbers
};

// The record lives beside kelfd's socket as kelfctl.applied. Its first
// line names the daemon process (pid and start time); a record of another
// process is void: a restarted daemon holds nothing of it.
class AppliedRecord {
public:
    // dir empty: no record (a test's transport).
    explicit AppliedRecord(std::string dir);
    bool valid() const { return valid_; }
    std::string why_void() const { return why_; }
    std::map<int, UnitRecord> units;

    // Appends one change (and applies it to units); the record is written
    // after every change so an interrupted apply is known.
    void lbg(int unit, const std::string &name, int number, const std::vector<int> &ports);
    void lbg_gone(int unit, const std::string &name);
    void mcast(int unit, const std::string &name, int number);
    void listener(int unit, const std::string &name, int port, int vlan);
    void mcast_gone(int unit, const std::string &name);
    void mirror_vlan(int unit, int mirror, int vlan);
    void mirror_gone(int unit, int mirror);
    void rule(int unit, const RuleDef &r);
    void rule_gone(int unit, int group, std::int64_t id);
    // Rewrites the record whole, dropping its history.
    void compact();

    std::string path() const { return path_; }

private:
    void append(const std::string &line);
    bool apply_line(const std::string &line);
    std::string identity() const;
    std::string dir_, path_, why_;
    std::string daemon_;  // "PID START" of the running kelfd; empty when unknown
    bool valid_ = false;
    std::ofstream out_;  // open for appending once this run wrote the header
};

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

// After a whole apply: the record of the file's units holds exactly the
// file's state (rules kelfd reports whole that were already in place
// included), written afresh.
void settle_record(AppliedRecord &rec, const ConfigFile &f);

// The rules as `rule list -d` writes them: a rule kelfctl apply left as
// it is takes its applied form (with what kelfd does not report); a rule
// whose action kelfd does not report is left out and named in missing.
std::vector<RuleDef> export_forms(Session &s, const std::vector<RuleDef> &rules,
                                  std::vector<std::string> *missing);

// The file that describes the units' current state; missing lists what
// neither kelfd nor the record can describe exactly (left out of the text).
struct Saved {
    std::string text;
    std::vector<std::string> missing;
};
Saved save_config(Session &s, const std::vector<int> &units, const AppliedRecord &rec);

const char *op_name(Step::Op op);
// pairs, isolated, mesh; other numbers as numbers.
std::string cfg_word(int cfg);

}  // namespace kelfctl

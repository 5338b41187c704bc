// file_parts.h - what each object family contributes to the configuration
// file: the lines it reads, its part of the plan and its part of a saved
// file. The file's own code (parse.cpp, plan.cpp) calls them in a fixed
// order; each family keeps its part beside its commands.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config.h"

namespace kelfctl {

// ---------------------------------------------------------------- reading

// The unit whose lines are being read.
struct FileUnit {
    Session &s;
    UnitConfig &u;
    int unit;
    std::set<int> &mask_lines;  // ports whose mask a line has set
};
// Names for objects whose numbers the switch chooses: a letter, then
// letters, digits, _ - or .
bool is_name(const std::string &w);
std::string name_of(Args &a, const std::string &what);

void parse_config_line(FileUnit &f, Args &a, int line);  // config set
void parse_mask_line(FileUnit &f, Args &a, int line);    // mask set
void parse_port_line(FileUnit &f, Args &a, int line);    // port set
void parse_hash_line(FileUnit &f, Args &a, int line);    // hash set
void parse_lbg_line(FileUnit &f, Args &a, int line);     // lbg add
void parse_mirror_line(FileUnit &f, Args &a, int line);  // mirror add
void parse_mirror_vlan_line(FileUnit &f, Args &a, int line);
void parse_mcast_line(FileUnit &f, Args &a, int line);  // mcast add
void parse_listener_line(FileUnit &f, Args &a, int line);
// rule add: the whole line, since `lbg NAME` is resolved before parsing.
void parse_rule_line(FileUnit &f, std::vector<std::string> words, int line);

// ---------------------------------------------------------------- planning

// The plan of one unit while it is made: each family adds its steps to the
// lists, which run in the order they are declared here.
struct UnitPlan {
    UnitPlan(Session &session, int u, const UnitConfig &w, UnitRecord &held, AppliedRecord &record,
             Plan &p)
        : s(session), unit(u), want(w), r(held), rec(record), plan(p) {}
    Session &s;
    int unit;
    const UnitConfig &want;
    UnitRecord &r;  // what kelfd holds (empty when it reads nothing back)
    AppliedRecord &rec;
    Plan &plan;
    // lbg name -> number, filled in as the plan runs and groups are made.
    std::shared_ptr<std::map<std::string, int>> lbg_numbers =
        std::make_shared<std::map<std::string, int>>();
    // mcast name -> its logical port, filled in the same way.
    std::shared_ptr<std::map<std::string, int>> mcast_ports =
        std::make_shared<std::map<std::string, int>>();

    std::vector<Step> cfgmask, mirrors, lbgs, mcasts, early_remove, rule_add, rule_change,
        rule_remove, lbg_rm, mirror_rm, mcast_rm, tail;
    // Adds a step that runs with the session's unit set to this unit.
    void step(std::vector<Step> &list, Step::Op op, std::string object, std::string text,
              std::function<int(Session &)> run);
    // Every step, in the order they run.
    std::vector<Step> steps();
};

void plan_config_masks(UnitPlan &p);
void plan_mirrors(UnitPlan &p);
void plan_lbgs(UnitPlan &p);
void plan_mcasts(UnitPlan &p);
void plan_rules(UnitPlan &p);
void plan_hash(UnitPlan &p);
void plan_port_properties(UnitPlan &p);

// ---------------------------------------------------------------- saving

// One unit's saved lines while they are written.
struct UnitSave {
    Session &s;
    const UnitRecord &r;
    bool valid;               // r holds what kelfd reads back
    std::string unit_prefix;  // "unit N: " for what cannot be described
    std::string text;
    std::vector<std::string> &missing;
    std::set<int> mirrors;                  // the mirrors described
    std::map<int, std::string> lbg_name;    // the groups described, by number
    std::map<int, std::string> mcast_name;  // the multicast groups described, by port
};

void save_config_masks(UnitSave &u);
void save_hash(UnitSave &u);
void save_port_properties(UnitSave &u);
void save_mirrors(UnitSave &u);
void save_lbgs(UnitSave &u);
void save_mcasts(UnitSave &u);
void save_rules(UnitSave &u);

// Shared between families' parts.
bool mcast_exists(Session &s, int group);
// A mirror's monitored ports, sorted; empty when it has none; nullopt when
// it has more than kelfd lists.
std::optional<std::vector<int>> mirror_ports_sorted(Session &s, int mirror);

}  // namespace kelfctl

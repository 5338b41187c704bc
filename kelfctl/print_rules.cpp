// Printers of the rule object.
#include "print.h"

namespace kelfctl {

Output print_rule_added(int group, std::int64_t id) {
    Json j = Json::object();
    j["group"] = group;
    j["id"] = id;
    return {j, "added rule " + std::to_string(id) + " to group " + std::to_string(group) + "\n"};
}

Output print_rules(const std::vector<RuleSpec> &rules, bool detail) {
    Json arr = Json::array();
    for (const auto &r : rules) arr.push_back(rule_json(r));
    Json j = Json::object();
    j["rules"] = std::move(arr);
    if (detail) {
        std::string text;
        for (const auto &r : rules) text += rule_command(r) + "\n";
        return {j, text};
    }
    Table t("rules", {{"group", "GROUP"}, {"id", "ID"}, {"action", "ACTION"}, {"match", "MATCH"}});
    for (const auto &r : rules) {
        std::string act = rule_action_text(r);
        std::string match = rule_match_text(r);
        t.row({num(r.group), num(r.id), str(act.empty() ? "(not reported)" : act),
               str(match.empty() ? "any" : match)});
    }
    Output o = out(t);
    o.json = j;  // the full rule descriptions, not the table's texts
    return o;
}

Output print_rule_counters(const std::vector<RuleCounter> &c) {
    Table t("counters", {{"group", "GROUP"}, {"id", "ID"}, {"frames", "FRAMES"}});
    for (const auto &r : c) t.row({num(r.group), num(r.id), unum(r.frames)});
    return out(t);
}

}  // namespace kelfctl

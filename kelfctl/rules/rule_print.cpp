// Printers of the rule object.
#include <algorithm>
#include <sstream>

#include "rule_ops.h"

namespace kelfctl {

Output print_rules_added(int group, const std::vector<std::int64_t> &ids,
                         const std::string &match) {
    Json j = Json::object();
    j["group"] = group;
    j["id"] = ids.front();
    if (ids.size() == 1)
        return {j, "added rule " + std::to_string(ids.front()) + " to group " +
                       std::to_string(group) + "\n"};
    j["ids"] = ids;
    std::string list;
    std::vector<int> v;
    for (auto i : ids) v.push_back(static_cast<int>(i));
    return {j, "added " + std::to_string(ids.size()) + " rules to group " + std::to_string(group) +
                   ", ids " + format_port_list(v) + ", for " + match + "\n"};
}

Output print_rules(const std::vector<RuleDef> &rules, bool detail,
                   const std::optional<std::vector<RuleCounter>> &counters, bool json) {
    // Only what is printed is built: a full unit is 131,072 rules.
    Json arr = Json::array();
    for (std::size_t i = 0; json && i < rules.size(); ++i) {
        Json r = rule_json(rules[i]);
        if (counters) r["frames"] = (*counters)[i].frames;
        arr.push_back(std::move(r));
    }
    Json j = Json::object();
    j["rules"] = std::move(arr);
    if (detail) {
        std::string text;
        for (std::size_t i = 0; i < rules.size(); ++i) {
            text += rule_command(rules[i]);
            if (counters) text += "  # frames " + std::to_string((*counters)[i].frames);
            text += "\n";
        }
        return {j, text};
    }
    std::vector<Table::Column> cols = {{"group", "GROUP"}, {"id", "ID"}};
    if (counters) cols.push_back({"frames", "FRAMES"});
    cols.push_back({"action", "ACTION"});
    cols.push_back({"match", "MATCH"});
    const bool comments = std::any_of(rules.begin(), rules.end(),
                                      [](const RuleDef &r) { return !r.comment.empty(); });
    if (comments) cols.push_back({"comment", "COMMENT"});
    Table t("rules", cols);
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const RuleDef &r = rules[i];
        std::string act = rule_action_text(r);
        std::string match = rule_match_text(r);
        std::vector<Cell> row = {num(r.group), num(r.id)};
        if (counters) row.push_back(unum((*counters)[i].frames));
        row.push_back(str(act.empty() ? "(not reported)" : act));
        row.push_back(str(match.empty() ? "any" : match));
        if (comments) row.push_back(str(r.comment));
        t.row(row);
    }
    if (json) return {j, ""};  // the full rule descriptions, not the table's texts
    std::ostringstream text;
    t.text(text);
    return {Json(), text.str()};
}

Output print_rule_counters(const std::vector<RuleCounter> &c) {
    Table t("counters", {{"group", "GROUP"}, {"id", "ID"}, {"frames", "FRAMES"}});
    for (const auto &r : c) t.row({num(r.group), num(r.id), unum(r.frames)});
    return out(t);
}

}  // namespace kelfctl

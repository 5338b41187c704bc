// The plan that brings a unit to its file's state, and the file that
// describes a unit's state: each object family adds its part, in the order
// that lets every step find what it needs (mirrors and groups before the
// rules that use them, rules gone before the groups they used).
#include "file_parts.h"

namespace kelfctl {
namespace {

// Runs f with the session's unit set to unit.
template <class F>
auto on_unit(Session &s, int unit, F f) {
    int saved = s.unit;
    s.unit = unit;
    struct Back {
        Session &s;
        int u;
        ~Back() { s.unit = u; }
    } back{s, saved};
    return f();
}

}  // namespace

void UnitPlan::step(std::vector<Step> &list, Step::Op op, std::string object, std::string text,
                    std::function<int(Session &)> run) {
    list.push_back({op, unit, std::move(object), std::move(text), [u = unit, run](Session &ss) {
                        return on_unit(ss, u, [&] { return run(ss); });
                    }});
}

std::vector<Step> UnitPlan::steps() {
    std::vector<Step> all;
    for (auto *v : {&cfgmask, &mirrors, &lbgs, &mcasts, &early_remove, &rule_add, &rule_change,
                    &rule_remove, &lbg_rm, &mirror_rm, &mcast_rm, &tail})
        for (auto &st : *v) all.push_back(std::move(st));
    return all;
}

Plan make_plan(Session &s, const ConfigFile &f, AppliedRecord &rec) {
    Plan plan;
    for (const auto &[unit, want] : f.units) {
        on_unit(s, unit, [&, unit = unit, &want = want] {
            s.require_unit();
            UnitRecord none;
            UnitPlan up{s, unit, want, rec.valid() ? rec.units[unit] : none, rec, plan};
            // The order of the reads kelfd is asked.
            plan_config_masks(up);
            plan_mirrors(up);
            plan_lbgs(up);
            plan_mcasts(up);
            plan_rules(up);
            plan_hash(up);
            plan_port_properties(up);
            for (Step &st : up.steps()) plan.steps.push_back(std::move(st));
            return 0;
        });
    }
    return plan;
}

void settle_record(AppliedRecord &rec, const ConfigFile &f) {
    if (!rec.valid()) return;
    for (const auto &ue : f.units) {
        const UnitConfig &want = ue.second;
        UnitRecord &r = rec.units[ue.first];
        std::erase_if(r.lbgs, [&](const auto &e) { return !want.lbgs.count(e.first); });
        std::erase_if(r.mcasts, [&](const auto &e) { return !want.mcasts.count(e.first); });
        std::erase_if(r.mirror_vlans, [&](const auto &e) { return !want.mirrors.count(e.first); });
        r.rules.clear();
        for (const auto &[key, fr] : want.rules) {
            RuleDef x = fr.def;
            if (x.action == RuleDef::Action::Lbg) {
                if (!r.lbgs.count(fr.lbg)) continue;
                x.target = r.lbgs.at(fr.lbg).first;
            }
            r.rules[key] = x;
        }
    }
    rec.compact();
}

Saved save_config(Session &s, const std::vector<int> &units, const AppliedRecord &rec) {
    Saved out;
    for (int unit : units) {
        on_unit(s, unit, [&] {
            UnitRecord none;
            const UnitRecord &r = rec.valid() && rec.units.count(unit) ? rec.units.at(unit) : none;
            UnitSave u{s,
                       r,
                       "unit " + std::to_string(unit) + ": ",
                       "unit " + std::to_string(unit) + "\n",
                       out.missing,
                       {},
                       {}};
            save_config_masks(u);
            save_hash(u);
            save_port_properties(u);
            save_mirrors(u);
            save_lbgs(u);
            save_mcasts(u);
            save_rules(u);
            out.text += u.text;
            return 0;
        });
    }
    return out;
}

}  // namespace kelfctl

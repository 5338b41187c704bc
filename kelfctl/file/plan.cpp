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
            rec.load(unit);
            UnitPlan up{s, unit, want, rec.units[unit], rec, plan};
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

Saved save_config(Session &s, const std::vector<int> &units, AppliedRecord &rec) {
    Saved out;
    for (int unit : units) {
        on_unit(s, unit, [&] {
            rec.load(unit);
            const UnitRecord &r = rec.units[unit];
            UnitSave u{s,
                       r,
                       rec.valid(),
                       "unit " + std::to_string(unit) + ": ",
                       "unit " + std::to_string(unit) + "\n",
                       out.missing,
                       {},
                       {},
                       {}};
            save_config_masks(u);
            save_hash(u);
            save_port_properties(u);
            save_lbgs(u);
            save_mirrors(u);
            save_mcasts(u);
            save_rules(u);
            out.text += u.text;
            return 0;
        });
    }
    return out;
}

}  // namespace kelfctl

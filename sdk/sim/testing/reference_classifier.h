// reference_classifier.h - the oracle for fmsim's rule lookup: every rule
// of every ACL scanned in rule order, each condition read straight from the
// rule as the switch holds it. Slow on purpose and only for tests and
// benchmarks; it shares no code with the classifier it checks.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "fm_sdk.h"
#include "fmsim_acl.h"
#include "fmsim_forward.h"

namespace fmsimtest {

class ReferenceClassifier {
public:
    // Takes the rules of ACLs 0 .. acls-1 and the port sets they name, as
    // the switch holds them now (they must be applied to be in force).
    void snapshot(int sw, int acls = 64) {
        acls_.clear();
        sets_.clear();
        for (int a = 0; a < acls; ++a) {
            std::vector<FmsimAclRule> rules;
            for (int id : fmsim_acl_rules(sw, a)) {
                FmsimAclRule r;
                if (!fmsim_acl_rule(sw, a, id, &r)) continue;
                rules.push_back(r);
                if (r.cond & FM_ACL_MATCH_INGRESS_PORT_SET) {
                    auto ports = fmsim_port_set_ports(sw, r.value.portSet);
                    sets_[r.value.portSet] = std::set<int>(ports.begin(), ports.end());
                }
            }
            if (!rules.empty()) acls_.emplace_back(a, std::move(rules));
        }
    }

    // Each ACL's first rule whose conditions all hold, for a frame received
    // on a port with that glort, in that VLAN.
    std::vector<FmsimAclHit> classify(const FmsimParsedFrame &f, int vlan, int port,
                                      std::uint32_t glort) const {
        std::vector<FmsimAclHit> hits;
        for (const auto &[acl, rules] : acls_) {
            FmsimAclHit h{acl, -1};
            for (const FmsimAclRule &r : rules)
                if (holds(r, f, vlan, port, glort)) {
                    h.rule = r.rule;
                    break;
                }
            hits.push_back(h);
        }
        return hits;
    }

private:
    static bool ip_holds(const fm_ipAddr &v, const fm_ipAddr &m, const std::uint32_t (&a)[4],
                         const FmsimParsedFrame &f) {
        if (v.isIPv6) {
            if (!f.ipv6) return false;
            for (int w = 0; w < 4; ++w)
                if ((a[w] & m.addr[w]) != (v.addr[w] & m.addr[w])) return false;
            return true;
        }
        return f.ipv4 && (a[0] & m.addr[0]) == (v.addr[0] & m.addr[0]);
    }

    static bool tag_holds(int type, const FmsimParsedFrame &f) {
        int c = 0, s = 0;
        for (int i = 0; i < f.tags; ++i) (f.tpid[i] == 0x88A8 ? s : c)++;
        std::uint16_t outer = f.tags ? f.tpid[0] : 0;
        switch (type) {
            case 0:
                return f.tags == 0;
            case 1:
                return outer == 0x8100;
            case 2:
                return outer == 0x9100;
            case 3:
                return outer == 0x9200;
            case 4:
                return c > 0;
            case 5:
                return s > 0;
            case 6:
                return c > 0 && s == 0;
            case 7:
                return s > 0 && c == 0;
            case 8:
                return c > 0 && s > 0;
            case 9:
                return f.tags == 1 && s == 1;
            default:
                return false;
        }
    }

    bool holds(const FmsimAclRule &r, const FmsimParsedFrame &f, int vlan, int port,
               std::uint32_t glort) const {
        const fm_aclCondition c = r.cond;
        const fm_aclValue &v = r.value;
        if ((c & FM_ACL_MATCH_SRC_MAC) && (f.smac & v.srcMask) != (v.src & v.srcMask)) return false;
        if ((c & FM_ACL_MATCH_DST_MAC) && (f.dmac & v.dstMask) != (v.dst & v.dstMask)) return false;
        if ((c & FM_ACL_MATCH_ETHERTYPE) &&
            (f.ethertype & v.ethTypeMask) != (v.ethType & v.ethTypeMask))
            return false;
        if ((c & FM_ACL_MATCH_VLAN) &&
            (static_cast<std::uint32_t>(vlan) & v.vlanIdMask) != (v.vlanId & v.vlanIdMask))
            return false;
        if ((c & FM_ACL_MATCH_SRC_IP) && !ip_holds(v.srcIp, v.srcIpMask, f.src_ip, f)) return false;
        if ((c & FM_ACL_MATCH_DST_IP) && !ip_holds(v.dstIp, v.dstIpMask, f.dst_ip, f)) return false;
        if ((c & FM_ACL_MATCH_PROTOCOL) &&
            (!(f.ipv4 || f.ipv6) || (f.protocol & v.protocolMask) != (v.protocol & v.protocolMask)))
            return false;
        if (c & FM_ACL_MATCH_L4_SRC_PORT) {
            if (!f.l4) return false;
            if (v.L4SrcEnd > v.L4SrcStart ? (f.src_port < v.L4SrcStart || f.src_port > v.L4SrcEnd)
                                          : f.src_port != v.L4SrcStart)
                return false;
        }
        if (c & FM_ACL_MATCH_L4_DST_PORT) {
            if (!f.l4) return false;
            if (v.L4DstEnd > v.L4DstStart ? (f.dst_port < v.L4DstStart || f.dst_port > v.L4DstEnd)
                                          : f.dst_port != v.L4DstStart)
                return false;
        }
        if ((c & FM_ACL_MATCH_L4_SRC_PORT_WITH_MASK) &&
            (!f.l4 || (f.src_port & v.L4SrcMask) != (v.L4SrcStart & v.L4SrcMask)))
            return false;
        if ((c & FM_ACL_MATCH_L4_DST_PORT_WITH_MASK) &&
            (!f.l4 || (f.dst_port & v.L4DstMask) != (v.L4DstStart & v.L4DstMask)))
            return false;
        if (c & FM_ACL_MATCH_NON_IP_PAYLOAD)
            for (int i = 0; i < FM_MAX_ACL_NON_IP_PAYLOAD_BYTES; ++i)
                if ((f.payload[i] & v.nonIPPayloadMask[i]) !=
                    (v.nonIPPayload[i] & v.nonIPPayloadMask[i]))
                    return false;
        if (c & FM_ACL_MATCH_INGRESS_PORT_SET) {
            auto it = sets_.find(v.portSet);
            if (it == sets_.end() || it->second.count(port) == 0) return false;
        }
        if (c & FM_ACL_MATCH_VLAN_TAG_TYPE) {
            int type;
            static_assert(sizeof type == sizeof v.vlanTag);
            std::memcpy(&type, &v.vlanTag, sizeof type);
            if (!tag_holds(type, f)) return false;
        }
        if ((c & FM_ACL_MATCH_SRC_GLORT) &&
            ((glort & v.srcGlortMask) != (v.srcGlort & v.srcGlortMask)))
            return false;
        return true;
    }

    std::vector<std::pair<int, std::vector<FmsimAclRule>>> acls_;
    std::map<int, std::set<int>> sets_;
};

}  // namespace fmsimtest

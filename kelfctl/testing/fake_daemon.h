// fake_daemon.h - for kelfctl's unit tests: a transport that records every
// request and answers like kelfd would, with a small rule table so that
// listings and export/import can be checked without a daemon.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "session.h"

namespace kelfctl::test {

using Bytes = std::vector<unsigned char>;

inline Bytes status_reply(std::int32_t v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

class FakeDaemon : public Transport {
public:
    std::vector<Bytes> requests;
    int hellos = 0;
    bool unreachable = false;
    // code -> status word (default 0); every unit is up unless a test says
    // otherwise.
    std::map<int, std::int32_t> status{{KEL_GET_DEV_NUM, KEL_MAX_UNITS}};
    // Replaces the answer for a code; gets the request as sent.
    std::map<int, std::function<Bytes(const Bytes &)>> answer;

    struct Rule {
        kel_mem_t mem;
        int action;
    };
    std::map<int, std::vector<Rule>> rules;    // group -> rules in slot order
    std::vector<int> lbgs{2, 4}, mirrors{10};  // what the group and mirror lists name
    int next_id = 1;

    kelfclient::Status exchange(const void *request, std::size_t len, Bytes *reply) override {
        const auto *p = static_cast<const unsigned char *>(request);
        std::int32_t first = 0;
        std::memcpy(&first, p, std::min<std::size_t>(len, 4));
        // kelfctl's hello, answered as a daemon without extensions does;
        // kept apart, so that the requests are those of the command.
        if (first == KEL_X_HELLO && !unreachable) {
            ++hellos;
            *reply = status_reply(-1);
            return {};
        }
        requests.emplace_back(p, p + len);
        if (unreachable)
            return {kelfclient::Status::NoDaemon,
                    "cannot reach kelfd at /fake: Connection refused"};
        Bytes req(KEL_BUF_SIZE);
        std::memcpy(req.data(), p, std::min<std::size_t>(len, KEL_BUF_SIZE));
        std::int32_t code;
        std::memcpy(&code, p, 4);
        auto a = answer.find(code);
        *reply = a != answer.end() ? a->second(req) : serve(code, req);
        return {};
    }
    std::string where() const override { return "/fake"; }

    // The requests a command is about, without the reads kelfctl makes to
    // check it first (the switch count, rule, group and mirror lists).
    static bool is_check(const Bytes &r) {
        std::int32_t code;
        std::memcpy(&code, r.data(), 4);
        return code == KEL_GET_DEV_NUM || code == KEL_ENTRY_QUERY_LIST || code == KEL_ENTRY_QUERY ||
               code == KEL_LBG_QUERY_LIST || code == KEL_MIR_QUERY_LIST ||
               code == KEL_MIR_PORT_QUERY_LIST;
    }
    std::vector<Bytes> sent() const {
        std::vector<Bytes> v;
        for (const auto &r : requests)
            if (!is_check(r)) v.push_back(r);
        return v;
    }

    // The last request as the record it was built as.
    template <class T>
    T last() const {
        T t;
        std::memset(&t, 0, sizeof t);
        std::memcpy(&t, requests.back().data(), std::min(sizeof t, requests.back().size()));
        return t;
    }

private:
    static Bytes slice(const Bytes &req, std::size_t off, std::size_t n) {
        return Bytes(req.begin() + static_cast<long>(off),
                     req.begin() + static_cast<long>(off + n));
    }

    std::int32_t st(int code) const {
        auto i = status.find(code);
        return i == status.end() ? 0 : i->second;
    }

    Bytes serve(int code, Bytes &req) {
        if_kel_t k;
        std::memcpy(&k, req.data(), sizeof k);
        switch (code) {
            case KEL_SET_DROP:
                return add(k, 2);
            case KEL_SET_DIR:
                return add(k, 0x8000);
            case KEL_SET_MIR:
                return add(k, 0x8);
            case KEL_SET_PERMIT:
                return add(k, 1);
            case KEL_SET_RULE:
                return add(k, k.action);
            case KEL_ENTRY_QUERY:
                return query(k);
            case KEL_ENTRY_QUERY_LIST: {
                std::uint32_t n = 0;
                for (const auto &r : rules[int{k.group}])
                    k.kel_query_list.kel_id_list.id_list[n++] =
                        static_cast<std::uint16_t>(r.mem.rule_id);
                k.kel_query_list.kel_id_list.rule_num = n;
                k.kel_query_list.ret = st(code);
                std::memcpy(req.data(), &k, sizeof k);
                return slice(req, offsetof(if_kel_t, kel_query_list), sizeof(kel_query_list_t));
            }
            case KEL_GET_CNT: {
                k.kel_rule_stat.kel_rule_stat_cnt.counter =
                    static_cast<std::uint64_t>(k.rule_id) * 10;
                k.kel_rule_stat.ret_val = st(code);
                std::memcpy(req.data(), &k, sizeof k);
                return slice(req, offsetof(if_kel_t, kel_rule_stat), sizeof(kel_rule_stat_t));
            }
            case KEL_ENTRY_REMOVE: {
                auto &g = rules[int{k.group}];
                std::erase_if(g, [&](const Rule &r) { return r.mem.rule_id == k.rule_id; });
                return status_reply(st(code));
            }
            case KEL_CLEAR:
                rules.clear();
                return status_reply(st(code));
            case KEL_GET_PORT_MASK:
                return slice(req, offsetof(if_kel_mask_t, mask), sizeof(kel_mask_t));
            case KEL_GET_L2_HASH:
                return slice(req, offsetof(if_kel_t, l2_hash), sizeof(kel_l2_hash_t));
            case KEL_GET_L3_HASH:
                return slice(req, offsetof(if_kel_t, l3_hash), sizeof(kel_l3_hash_t));
            case KEL_LBG_QUERY_LIST:
            case KEL_MIR_QUERY_LIST: {
                if_kel_lbg_t l;
                std::memcpy(&l, req.data(), sizeof l);
                const auto &v = code == KEL_LBG_QUERY_LIST ? lbgs : mirrors;
                l.kel_query_list.kel_lbg_list.lbg_num = static_cast<std::int32_t>(v.size());
                for (std::size_t i = 0; i < v.size() && i < KEL_REPLY_LIST_MAX; ++i)
                    l.kel_query_list.kel_lbg_list.lbg_list[i] = v[i];
                std::memcpy(req.data(), &l, sizeof l);
                return slice(req, offsetof(if_kel_lbg_t, kel_query_list),
                             sizeof(kel_lbg_query_list_t));
            }
            case KEL_MIR_PORT_QUERY_LIST:
            case KEL_GET_PORT_STATE:
                return slice(req, offsetof(if_kel_lbg_t, kel_query_list),
                             sizeof(kel_lbg_query_list_t));
            case KEL_GET_STAT:
            case KEL_GET_PRIO_STAT:
                return slice(req, offsetof(if_kel_t, kel_stat), sizeof(kel_stat_t));
            case KEL_GET_REG:
                return slice(req, offsetof(if_kel_t, kel_rule_stat), sizeof(kel_rule_stat_t));
            case KEL_BP_READ:
            case KEL_BP_WRITE:
            case KEL_TEMP_READ:
            case KEL_TEMP_WRITE:
            case KEL_TEMP1_READ:
            case KEL_TEMP1_WRITE:
            case KEL_FCI_READ:
            case KEL_FCI_WRITE:
            case KEL_FCI_RX_READ:
            case KEL_FCI_RX_WRITE:
                return slice(req, offsetof(if_kel_t, kel_query_list), sizeof(kel_query_list_t));
            default:
                return status_reply(st(code));
        }
    }

    Bytes add(const if_kel_t &k, int action) {
        if (st(k.kel_cmd) != 0) return status_reply(st(k.kel_cmd));
        Rule r{k.kel_mem, action};
        if (r.mem.rule_id == 0) r.mem.rule_id = next_id++;
        rules[int{k.kel_mem.group}].push_back(r);
        return status_reply(r.mem.rule_id);
    }

    // What kelfd's query writes back of a stored rule.
    Bytes query(if_kel_t k) {
        kel_mem_t &m = k.kel_mem;
        for (const auto &r : rules[int{m.group}]) {
            if (r.mem.rule_id != m.rule_id) continue;
            const kel_mem_t &s = r.mem;
            m.port = s.port;
            if (r.action & 0x2)
                m.rule_act = 2;
            else if (r.action & 0x8000)
                m.rule_act = 0x8000, m.redir_port = s.redir_port;
            else if (r.action & 0x2000)
                m.rule_act = 0x2000, m.redir_port = s.redir_port;
            else if (r.action & 0x1)
                m.rule_act = 1;
            else if (r.action & 0x400)
                m.rule_act = 0x400;
            else if (r.action & 0x8)
                m.rule_act = 8, m.mirror_port = s.mirror_port & 0xFF;
            m.user_act = (r.action & 0x400) ? s.user_act : 0;
            m.src_port = s.src_port, m.src_port_mask = s.src_port ? s.src_port_mask : 0;
            m.dst_port = s.dst_port, m.dst_port_mask = s.dst_port ? s.dst_port_mask : 0;
            if (s.src_ip6.flag) {
                std::memcpy(m.src_ip6.ip, s.src_ip6.ip, 16);
                if (s.src_ip6_mask.flag)
                    std::memcpy(m.src_ip6_mask.ip, s.src_ip6_mask.ip, 16);
                else
                    std::memset(m.src_ip6_mask.ip, 0xFF, 16);
            } else if (s.src_ip) {
                m.src_ip = s.src_ip, m.src_ip_mask = s.src_ip_mask ? s.src_ip_mask : 0xFFFFFFFF;
            }
            if (s.dst_ip6.flag) {
                std::memcpy(m.dst_ip6.ip, s.dst_ip6.ip, 16);
                if (s.dst_ip6_mask.flag)
                    std::memcpy(m.dst_ip6_mask.ip, s.dst_ip6_mask.ip, 16);
                else
                    std::memset(m.dst_ip6_mask.ip, 0xFF, 16);
            } else if (s.dst_ip) {
                m.dst_ip = s.dst_ip, m.dst_ip_mask = s.dst_ip_mask ? s.dst_ip_mask : 0xFFFFFFFF;
            }
            m.ip_protocol = s.ip_protocol & 0xFF;
            m.vlan = s.vlan & 0xFFFF;
            m.vlan_mask = s.vlan ? 0xFFF : 0;
            int eth = s.mpls_type ? (s.mpls_type == 2 ? 0x8848 : 0x8847) : s.ether_type & 0xFFFF;
            m.ether_type = eth;
            if (eth == 0x8847) m.mpls_type = 1;
            if (eth == 0x8848) m.mpls_type = 2;
            if (s.mpls_type && s.mpls_header)
                m.mpls_header = s.mpls_header, m.mpls_header_mask = s.mpls_header_mask;
            if (s.src_mac.flag) std::memcpy(m.src_mac.mac, s.src_mac.mac, 6);
            if (s.dst_mac.flag) std::memcpy(m.dst_mac.mac, s.dst_mac.mac, 6);
        }
        kel_query_rule_t q;
        q.kel_mem = m;
        q.ret = st(KEL_ENTRY_QUERY);
        Bytes b(sizeof q);
        std::memcpy(b.data(), &q, sizeof q);
        return b;
    }
};

// Runs kelfctl with these words against the fake; its exit status and output.
struct Outcome {
    int status;
    std::string out;
    std::string err;
};

inline Outcome run(FakeDaemon &d, std::vector<std::string> words,
                   const std::string &stdin_text = "") {
    words.insert(words.begin(), "kelfctl");
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::istringstream in(stdin_text);
    std::ostringstream out, err;
    int st = kelfctl_main(static_cast<int>(words.size()), argv.data(), &d, in, out, err);
    return {st, out.str(), err.str()};
}

}  // namespace kelfctl::test

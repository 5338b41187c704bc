// control.cpp - what fmsim's control socket does with a request: trace a
// frame, send a batch of frames, list the ports, count the ACL work. The
// socket itself and captures are control_server.cpp's.
#include "control.h"

#include <arpa/inet.h>
#include <kelfd/kel_lib.h>
#include <kelfd/run_dir.h>

#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>

#include "egress.h"
#include "fmsim.h"
#include "fmsim_acl.h"
#include "fmsim_forward.h"
#include "sim.h"

namespace fmsim::control {
namespace {

using Json = nlohmann::ordered_json;

// Reads the request's fields from the front; every read checks what is left.
class Reader {
public:
    Reader(const std::uint8_t *p, std::size_t n) : p_(p), n_(n) {}
    bool u8(std::uint8_t *v) { return take(v, 1); }
    bool u32(std::uint32_t *v) { return take(v, 4); }
    bool i32(std::int32_t *v) { return take(v, 4); }
    // n bytes in place, or nullptr when fewer are left.
    const std::uint8_t *bytes(std::size_t n) {
        if (n > n_ - at_) return nullptr;
        const std::uint8_t *r = p_ + at_;
        at_ += n;
        return r;
    }
    std::size_t left() const { return n_ - at_; }

private:
    bool take(void *v, std::size_t k) {
        const std::uint8_t *b = bytes(k);
        if (b == nullptr) return false;
        std::memcpy(v, b, k);
        return true;
    }
    const std::uint8_t *p_;
    std::size_t n_, at_ = 0;
};

template <class T>
void put(std::vector<std::uint8_t> &out, T v) {
    const auto *b = reinterpret_cast<const std::uint8_t *>(&v);
    out.insert(out.end(), b, b + sizeof v);
}

// A status byte and text; sized once and copied (gcc 12 misreads an insert
// after a push_back as out of bounds).
Handled status_text(Status st, const std::string &text) {
    Handled h;
    h.reply.resize(1 + text.size());
    h.reply[0] = st;
    if (!text.empty()) std::memcpy(h.reply.data() + 1, text.data(), text.size());
    return h;
}

Handled error(const std::string &msg) {
    return status_text(kError, msg);
}
Handled ok_text(const std::string &text) {
    return status_text(kOk, text);
}

std::string hex_bytes(const std::uint8_t *p, std::size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::string mac_text(std::uint64_t m) {
    char b[18];
    std::snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", unsigned(m >> 40 & 0xFF),
                  unsigned(m >> 32 & 0xFF), unsigned(m >> 24 & 0xFF), unsigned(m >> 16 & 0xFF),
                  unsigned(m >> 8 & 0xFF), unsigned(m & 0xFF));
    return b;
}

const char *parse_error_name(FmsimParseError e) {
    switch (e) {
        case FmsimParseError::None:
            return "none";
        case FmsimParseError::ShortEthernet:
            return "short-ethernet";
        case FmsimParseError::ShortTag:
            return "short-tag";
        case FmsimParseError::ShortMpls:
            return "short-mpls";
        case FmsimParseError::BadIp:
            return "bad-ip";
        case FmsimParseError::ShortIp:
            return "short-ip";
        case FmsimParseError::ShortL4:
            return "short-l4";
    }
    return "?";
}

// A rule's action in the words kelfctl writes it with.
std::string action_words(int sw, int acl, int rule) {
    FmsimAclRule r{};
    if (!fmsim_acl_rule(sw, acl, rule, &r)) return "?";
    const fm_aclParamExt &p = r.param;
    std::string w;
    if (r.action & FM_ACL_ACTIONEXT_DENY)
        w = "drop";
    else if (r.action & FM_ACL_ACTIONEXT_MIRROR_GRP)
        w = "mirror " + std::to_string(p.mirrorGrp);
    else if (r.action & FM_ACL_ACTIONEXT_REDIRECT)
        w = "redirect " + std::to_string(p.logicalPort);
    else if (r.action & FM_ACL_ACTIONEXT_LOAD_BALANCE)
        w = "lbg " + std::to_string(p.lbgNumber);
    else if (r.action & FM_ACL_ACTIONEXT_PERMIT)
        w = "permit";
    else
        w = "rewrite";
    if (r.action & FM_ACL_ACTIONEXT_SET_VLAN) w += " set-vlan " + std::to_string(p.vlan);
    if (r.action & FM_ACL_ACTIONEXT_SET_VLAN_PRIORITY)
        w += " set-vlan-priority " + std::to_string(p.vlanPriority);
    if (r.action & FM_ACL_ACTIONEXT_SET_SWITCH_PRIORITY)
        w += " set-switch-priority " + std::to_string(p.switchPriority);
    if (r.action & FM_ACL_ACTIONEXT_SET_USER) w += " set-user-bits " + std::to_string(p.user);
    return w;
}

// The parsed fields; addresses are read from the frame's own bytes, which
// the parser checked are there.
Json parsed_json(const FmsimParsedFrame &f, const std::uint8_t *bytes, std::size_t n) {
    Json j;
    j["dst_mac"] = mac_text(f.dmac);
    j["src_mac"] = mac_text(f.smac);
    Json tags = Json::array();
    for (int i = 0; i < f.tags && i < 2; ++i)
        tags.push_back({{"tpid", f.tpid[i]}, {"vlan", f.vid[i]}, {"priority", f.pcp[i]}});
    j["tags"] = tags;
    j["ethertype"] = f.ethertype;
    if (f.mpls) j["mpls_label_word"] = f.mpls_label_word;
    char ip[INET6_ADDRSTRLEN] = {};
    std::size_t l3 = f.l3_offset;
    if (f.ipv4 && l3 + 20 <= n) {
        j["src_ip"] = inet_ntop(AF_INET, bytes + l3 + 12, ip, sizeof ip) ? ip : "?";
        j["dst_ip"] = inet_ntop(AF_INET, bytes + l3 + 16, ip, sizeof ip) ? ip : "?";
    } else if (f.ipv6 && l3 + 40 <= n) {
        j["src_ip"] = inet_ntop(AF_INET6, bytes + l3 + 8, ip, sizeof ip) ? ip : "?";
        j["dst_ip"] = inet_ntop(AF_INET6, bytes + l3 + 24, ip, sizeof ip) ? ip : "?";
    }
    if (f.ipv4 || f.ipv6) j["protocol"] = f.protocol;
    if (f.l4) {
        j["sport"] = f.src_port;
        j["dport"] = f.dst_port;
    }
    j["error"] = f.error == FmsimParseError::None ? Json(nullptr) : Json(parse_error_name(f.error));
    return j;
}

// The request's unit and port exist; otherwise the message saying which not.
std::string no_port(int sw, int port) {
    std::lock_guard<std::recursive_mutex> g(mutex());
    Switch *s = find_switch(sw);
    if (s == nullptr || !s->present) return "unit " + std::to_string(sw) + " does not exist";
    if (find_port(sw, port) == nullptr)
        return "unit " + std::to_string(sw) + " has no port " + std::to_string(port);
    return {};
}

Handled trace(Reader &r) {
    std::int32_t sw = 0, port = 0;
    if (!r.i32(&sw) || !r.i32(&port)) return error("trace: request too short");
    if (std::string why = no_port(sw, port); !why.empty()) return error(why);
    std::size_t n = r.left();
    if (n > kMaxFrame)
        return error("trace: frame longer than " + std::to_string(kMaxFrame) + " bytes");
    const std::uint8_t *frame = r.bytes(n);
    FmsimTrace t;
    FmsimOutcome out = fmsim_inject(sw, port, frame, n, &t);

    Json j;
    j["unit"] = sw;
    j["in_port"] = port;
    j["length"] = n;
    j["parsed"] = parsed_json(t.parsed, frame, n);
    j["vlan"] = t.vlan;
    j["priority"] = t.priority;
    j["switch_priority"] = t.switch_priority;
    Json rules = Json::array();
    for (const FmsimAclHit &h : t.hits) {
        if (h.rule < 0) continue;
        bool deciding = h.acl == t.deciding.acl && h.rule == t.deciding.rule;
        rules.push_back({{"group", h.acl},
                         {"id", h.rule},
                         {"action", action_words(sw, h.acl, h.rule)},
                         {"deciding", deciding}});
    }
    j["rules"] = rules;
    j["deciding"] = t.deciding.acl < 0 ? Json(nullptr)
                                       : Json({{"group", t.deciding.acl}, {"id", t.deciding.rule}});
    j["lbg"] =
        t.lbg < 0 ? Json(nullptr) : Json({{"group", t.lbg}, {"hash", t.hash}, {"bin", t.bin}});
    j["learned"] = t.learned;
    Json egress = Json::array();
    for (const FmsimEmit &e : out.frames) {
        Json o = {{"port", e.port}, {"kind", name(e.kind)}};
        o["source"] = (e.kind == FmsimEmitKind::Mirror || e.kind == FmsimEmitKind::Multicast)
                          ? Json(e.source)
                          : Json(nullptr);
        o["copy"] = e.kind == FmsimEmitKind::Mirror || e.kind == FmsimEmitKind::Multicast;
        o["length"] = e.bytes.size();
        o["hex"] = hex_bytes(e.bytes.data(), e.bytes.size());
        egress.push_back(std::move(o));
    }
    j["egress"] = egress;
    j["dropped"] = out.drop != FmsimDrop::None;
    j["reason"] = out.drop == FmsimDrop::None ? Json(nullptr) : Json(name(out.drop));
    j["looped"] = out.looped;
    j["stages"] = t.lines;
    return ok_text(j.dump());
}

Handled send(Reader &r) {
    std::int32_t sw = 0, port = 0;
    std::uint8_t flags = 0;
    std::uint32_t count = 0;
    if (!r.i32(&sw) || !r.i32(&port) || !r.u8(&flags) || !r.u32(&count))
        return error("send: request too short");
    if (std::string why = no_port(sw, port); !why.empty()) return error(why);
    if (count > kMaxBatch) return error("send: more than " + std::to_string(kMaxBatch) + " frames");
    // The whole batch is checked before the first frame goes in, so that a
    // malformed request sends nothing.
    struct Frame {
        const std::uint8_t *p;
        std::uint32_t n;
    };
    std::vector<Frame> frames;
    frames.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t n = 0;
        if (!r.u32(&n)) return error("send: frame " + std::to_string(i) + " cut off");
        if (n > kMaxFrame) return error("send: frame " + std::to_string(i) + " too long");
        const std::uint8_t *p = r.bytes(n);
        if (p == nullptr) return error("send: frame " + std::to_string(i) + " cut off");
        frames.push_back({p, n});
    }
    if (r.left() != 0) return error("send: bytes after the last frame");

    Handled h;
    h.reply.push_back(kOk);
    put<std::uint32_t>(h.reply, count);
    const bool report = (flags & kSendReport) != 0;
    std::uint64_t left_total = 0;
    FmsimTrace t;
    t.no_lines = true;
    for (const Frame &f : frames) {
        FmsimOutcome out = fmsim_inject(sw, port, f.p, f.n, report ? &t : nullptr);
        left_total += out.frames.size();
        if (!report) continue;
        h.reply.push_back(static_cast<std::uint8_t>(out.drop));
        std::uint8_t hits = 0;
        for (const FmsimAclHit &a : t.hits) hits += a.rule >= 0 && hits < 255 ? 1 : 0;
        h.reply.push_back(hits);
        std::uint8_t written = 0;
        for (const FmsimAclHit &a : t.hits) {
            if (a.rule < 0 || written == hits) continue;
            put<std::int32_t>(h.reply, a.acl);
            put<std::int32_t>(h.reply, a.rule);
            ++written;
        }
        put<std::int32_t>(h.reply, t.deciding.acl);
        put<std::int32_t>(h.reply, t.deciding.rule);
        std::size_t emits = std::min<std::size_t>(out.frames.size(), 0xFFFF);
        put<std::uint16_t>(h.reply, static_cast<std::uint16_t>(emits));
        for (std::size_t i = 0; i < emits; ++i) {
            const FmsimEmit &e = out.frames[i];
            put<std::int32_t>(h.reply, e.port);
            h.reply.push_back(static_cast<std::uint8_t>(e.kind));
            put<std::int32_t>(h.reply, e.source);
            put<std::uint32_t>(h.reply, static_cast<std::uint32_t>(e.bytes.size()));
            h.reply.insert(h.reply.end(), e.bytes.begin(), e.bytes.end());
        }
    }
    if (!report) put<std::uint64_t>(h.reply, left_total);
    return h;
}

const char *port_kind(PortKind k) {
    switch (k) {
        case PortKind::Cpu:
            return "cpu";
        case PortKind::Ethernet:
            return "ethernet";
        case PortKind::Pcie:
            return "pcie";
        case PortKind::Internal:
            return "internal";
    }
    return "?";
}

Handled ports(Reader &r) {
    std::int32_t sw = 0;
    if (!r.i32(&sw)) return error("ports: request too short");
    std::lock_guard<std::recursive_mutex> g(mutex());
    Switch *s = find_switch(sw);
    if (s == nullptr || !s->present)
        return error("ports: unit " + std::to_string(sw) + " does not exist");
    std::vector<int> vlans(s->ports.size(), 0);
    for (int v = 1; v <= FM_MAX_VLAN; ++v) {
        const VlanPorts *vp = vlan_ports(sw, v);
        if (vp == nullptr) continue;
        for (std::size_t i = 0; i < s->ports.size() && i < static_cast<std::size_t>(kMaxPortIndex);
             ++i)
            if (vp->member[i]) ++vlans[i];
    }
    Json list = Json::array();
    for (std::size_t i = 0; i < s->ports.size(); ++i) {
        const Port &p = s->ports[i];
        Json o;
        o["port"] = p.logical;
        o["kind"] = port_kind(p.kind);
        bool up = s->up && (p.kind == PortKind::Internal || p.mode == FM_PORT_STATE_UP);
        o["link"] = up ? "up" : "down";
        o["vlans"] = vlans[i];
        Json mask = Json::array();
        for (int q = 0; q < kMaskBits; ++q)
            if (p.mask[static_cast<std::size_t>(q)]) mask.push_back(q);
        o["mask"] = mask;
        const fm_portCounters *c = port_counters(sw, static_cast<int>(i));
        if (c != nullptr) {
            o["rx_frames"] = c->cntRxUcstPkts + c->cntRxBcstPkts + c->cntRxMcstPkts;
            o["rx_octets"] = c->cntRxGoodOctets;
            o["tx_frames"] = c->cntTxUcstPkts + c->cntTxBcstPkts + c->cntTxMcstPkts;
            o["tx_octets"] = c->cntTxOctets;
            o["drops"] = c->cntRxUndersizedPkts + c->cntRxOversizedPkts + c->cntParseErrDropPkts +
                         c->cntFFUDropPkts + c->cntGlortMissDropPkts + c->cntSTPDropPkts +
                         c->cntVLANIngressBVPkts + c->cntVLANEgressBVPkts;
        }
        list.push_back(std::move(o));
    }
    return ok_text(Json({{"unit", sw}, {"ports", list}}).dump());
}

Handled stats(Reader &r) {
    if (r.left() != 0) return error("stats takes nothing");
    Json list = Json::array();
    for (int sw = 0; sw < fmsim_num_switches(); ++sw) {
        FmsimAclStats st{};
        if (!fmsim_acl_stats(sw, &st)) continue;
        list.push_back({{"unit", sw},
                        {"compiles", st.compiles},
                        {"applies", st.applies},
                        {"rules", st.rules}});
    }
    return ok_text(Json({{"switches", list}}).dump());
}

}  // namespace

Handled handle(const std::uint8_t *body, std::size_t n) {
    try {
        if (body == nullptr || n == 0) return error("empty request");
        if (n > kMaxRequest) return error("request too long");
        Reader r(body + 1, n - 1);
        switch (body[0]) {
            case kHello: {
                if (r.left() != 0) return error("hello takes nothing");
                Handled h;
                h.reply.push_back(kOk);
                put<std::uint32_t>(h.reply, kVersion);
                put<std::uint32_t>(h.reply, static_cast<std::uint32_t>(fmsim_num_switches()));
                return h;
            }
            case kTrace:
                return trace(r);
            case kSend:
                return send(r);
            case kPorts:
                return ports(r);
            case kStats:
                return stats(r);
            case kCapture: {
                std::int32_t sw = 0, port = 0;
                if (!r.i32(&sw) || !r.i32(&port) || r.left() != 0)
                    return error("capture: malformed request");
                std::lock_guard<std::recursive_mutex> g(mutex());
                if (find_switch(sw) == nullptr)
                    return error("capture: unit " + std::to_string(sw) + " does not exist");
                if (port != -1 && find_port(sw, port) == nullptr)
                    return error("capture: unit " + std::to_string(sw) + " has no port " +
                                 std::to_string(port));
                Handled h;
                h.reply.push_back(kOk);
                h.capture = true;
                h.unit = sw;
                h.port = port;
                return h;
            }
        }
        return error("unknown operation " + std::to_string(body[0]));
    } catch (const std::exception &e) {  // memory, mostly: the server goes on
        return error(std::string("request failed: ") + e.what());
    }
}

std::string socket_path() {
    // Where kelfd keeps its own socket: the daemon and its simulated switch
    // are found side by side.
    return kel_run_path(kSocketName);
}

}  // namespace fmsim::control

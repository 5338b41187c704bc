// The raw object: any request by its code, field by field, and its reply
// as it came.
#include <cstddef>
#include <cstring>

#include "device.h"
#include "objects.h"

namespace kelfctl {
namespace {

const char kRawHelp[] = R"(Usage: kelfctl raw CODE [FIELD=VALUE ...]
       kelfctl raw help

Sends one request with command code CODE and the given fields, every other
byte zero, and prints the reply: the status word, or the reply record in
hexadecimal. unit is -u's unless given. FIELD is a field of the request
records as kel_lib.h names it:
  cfg  if_index  rule_id  group  port  mask  action  phy_addr  addr  dev  val
  kel_mem.FIELD (group rule_id rule_act port redir_port src_port dst_port
    src_ip dst_ip src_ip_mask dst_ip_mask src_port_mask dst_port_mask
    src_port_max dst_port_max ip_protocol vlan vlan_mask vlan_max mirror_port
    mpls_type mpls_header mpls_header_mask ether_type vlan_act vlan_pri_act
    vlan_tag user_act kel_udf.flag kel_udf.offset kel_udf.data kel_udf.mask
    src_mac.flag src_mac.mac dst_mac.flag dst_mac.mac src_ip6.flag src_ip6.ip
    dst_ip6.flag dst_ip6.ip src_ip6_mask.flag src_ip6_mask.ip dst_ip6_mask.flag
    dst_ip6_mask.ip)
  kel_query_list.rule_num  kel_query_list.data (hex bytes; sets rule_num too)
  l2_hash.FIELD  l3_hash.FIELD (as in kel_lib.h)
  lbg.lbg  lbg.port  lbg.lbg_num  lbg.list (a list like 1-4,7; sets lbg_num)
  mask.ingress  mask.egress (port lists, ports 0 to 127)
A .mac field takes a MAC address, a .ip field an IPv6 address, src_ip and
dst_ip also a dotted IPv4 address; numbers are decimal or 0x... hex.
)";

// Fields of raw requests: every field of the three request layouts.
enum class Kind { I32, U32, I16, U8, U64, Mac, Ip6, Bytes, PortSet, List };
struct Field {
    const char *name;
    std::size_t off;
    Kind kind;
};

#define KF(name, member, kind) \
    { name, offsetof(if_kel_t, member), Kind::kind }
#define KM(name, kind) \
    { "kel_mem." #name, offsetof(if_kel_t, kel_mem.name), Kind::kind }
#define L2(name, kind) \
    { "l2_hash." #name, offsetof(if_kel_t, l2_hash.name), Kind::kind }
#define L3(name, kind) \
    { "l3_hash." #name, offsetof(if_kel_t, l3_hash.name), Kind::kind }
const Field kFields[] = {
    KF("unit", unit, I32),
    KF("cfg", cfg, I32),
    KF("if_index", if_index, I32),
    KF("rule_id", rule_id, I32),
    KF("group", group, I32),
    KF("port", port, I32),
    KF("mask", mask, U32),
    KF("action", action, I32),
    KF("phy_addr", phy_addr, I32),
    KF("addr", addr, I32),
    KF("dev", dev, I32),
    KF("val", val, I32),
    KF("kel_query_list.rule_num", kel_query_list.kel_id_list.rule_num, U32),
    KF("kel_query_list.data", kel_query_list.kel_id_list.id_list, Bytes),
    KF("kel_query_list.ret", kel_query_list.ret, I32),
    KM(group, I32),
    KM(rule_id, I32),
    KM(rule_act, I32),
    KM(port, I32),
    KM(redir_port, I32),
    KM(src_port, I32),
    KM(dst_port, I32),
    KM(src_ip, U32),
    KM(dst_ip, U32),
    KM(src_ip_mask, U32),
    KM(dst_ip_mask, U32),
    KM(src_port_mask, I32),
    KM(dst_port_mask, I32),
    KM(src_port_max, I32),
    KM(dst_port_max, I32),
    KM(ip_protocol, I32),
    KM(vlan, I32),
    KM(vlan_mask, I32),
    KM(vlan_max, I32),
    KM(mirror_port, I32),
    KM(mpls_type, I32),
    KM(mpls_header, U64),
    KM(mpls_header_mask, U64),
    KM(ether_type, I32),
    KM(kel_udf.flag, I16),
    KM(kel_udf.offset, U32),
    KM(kel_udf.data, U32),
    KM(kel_udf.mask, U32),
    KM(src_mac.flag, I16),
    KM(src_mac.mac, Mac),
    KM(dst_mac.flag, I16),
    KM(dst_mac.mac, Mac),
    KM(src_ip6.flag, I16),
    KM(src_ip6.ip, Ip6),
    KM(dst_ip6.flag, I16),
    KM(dst_ip6.ip, Ip6),
    KM(src_ip6_mask.flag, I16),
    KM(src_ip6_mask.ip, Ip6),
    KM(dst_ip6_mask.flag, I16),
    KM(dst_ip6_mask.ip, Ip6),
    KM(vlan_act, I32),
    KM(vlan_pri_act, I32),
    KM(vlan_tag, I32),
    KM(user_act, I32),
    L2(l2_hash_set, U32),
    L2(profile_index, U32),
    L2(src_mac_mask, Mac),
    L2(dst_mac_mask, Mac),
    L2(ether_type_mask, U32),
    L2(vlan_id_mask, U32),
    L2(vlan_pri, U32),
    L2(vlan2_id_mask, U32),
    L2(vlan2_pri, U32),
    L2(sym_mac, U32),
    L3(l3_hash_set, U32),
    L3(profile_index, U32),
    L3(src_ip_mask, U32),
    L3(dst_ip_mask, U32),
    L3(src_port_mask, U32),
    L3(dst_port_mask, U32),
    L3(dscp_mask, U32),
    L3(isl_usr_mask, U32),
    L3(proto_mask, U32),
    L3(custom_mask, U32),
    L3(flow_mask, U32),
    L3(sym_l3_fields, U8),
    L3(sym_l4_fields, U8),
    L3(use_ptable, U8),
    L3(random_next_hop, U8),
    L3(random_other, U8),
    L3(random_only, U8),
    {"lbg.lbg_num", offsetof(if_kel_lbg_t, kel_query_list.kel_lbg_list.lbg_num), Kind::I32},
    {"lbg.list", offsetof(if_kel_lbg_t, kel_query_list.kel_lbg_list), Kind::List},
    {"lbg.lbg", offsetof(if_kel_lbg_t, lbg), Kind::I32},
    {"lbg.port", offsetof(if_kel_lbg_t, port), Kind::I32},
    {"mask.ingress", offsetof(if_kel_mask_t, mask.ingress), Kind::PortSet},
    {"mask.egress", offsetof(if_kel_mask_t, mask.egress), Kind::PortSet},
};
#undef KF
#undef KM
#undef L2
#undef L3

void put_field(unsigned char *buf, const Field &f, const std::string &v) {
    unsigned char *p = buf + f.off;
    auto put = [&](auto x) { std::memcpy(p, &x, sizeof x); };
    std::string name = f.name;
    switch (f.kind) {
        case Kind::I32:
            put(static_cast<std::int32_t>(
                value([&] { return parse_int(v, name, INT32_MIN, UINT32_MAX); })));
            break;
        case Kind::U32:
            if (v.find('.') != std::string::npos) {
                IpPrefix ip = value([&] { return parse_ip_prefix(v, name); });
                if (ip.v6) usage(name + ": '" + v + "' is not an IPv4 address");
                put(ip.v4);
            } else {
                put(static_cast<std::uint32_t>(
                    value([&] { return parse_int(v, name, 0, UINT32_MAX); })));
            }
            break;
        case Kind::I16:
            put(static_cast<std::int16_t>(
                value([&] { return parse_int(v, name, INT16_MIN, UINT16_MAX); })));
            break;
        case Kind::U8:
            put(static_cast<std::uint8_t>(value([&] { return parse_int(v, name, 0, 255); })));
            break;
        case Kind::U64:
            put(value([&] { return parse_u64(v, name); }));
            break;
        case Kind::Mac: {
            Mac m = value([&] { return parse_mac(v, name); });
            std::memcpy(p, m.data(), 6);
            break;
        }
        case Kind::Ip6: {
            IpPrefix ip = value([&] { return parse_ip_prefix(v, name); });
            if (!ip.v6) usage(name + ": '" + v + "' is not an IPv6 address");
            std::memcpy(p, ip.addr.data(), 16);
            break;
        }
        case Kind::Bytes: {
            auto b = value([&] { return parse_bytes(v, name); });
            if (b.size() > KEL_QUERY_DATA_MAX) usage(name + ": at most 8192 bytes");
            std::memcpy(p, b.data(), b.size());
            auto n = static_cast<std::uint32_t>(b.size());
            std::memcpy(buf + offsetof(if_kel_t, kel_query_list.kel_id_list.rule_num), &n, 4);
            break;
        }
        case Kind::PortSet: {
            auto ports = value([&] { return parse_port_list(v, name, 0, 127); });
            for (int q : ports) p[q / 8] = static_cast<unsigned char>(p[q / 8] | (1u << (q % 8)));
            break;
        }
        case Kind::List: {
            auto l = value([&] { return parse_port_list(v, name, 0, INT32_MAX); });
            if (l.size() > KEL_LBG_LIST_MAX) usage(name + ": at most 32 numbers");
            kel_lbg_list_t list;
            std::memset(&list, 0, sizeof list);
            list.lbg_num = static_cast<std::int32_t>(l.size());
            for (std::size_t i = 0; i < l.size(); ++i) list.lbg_list[i] = l[i];
            std::memcpy(p, &list, sizeof list);
            break;
        }
    }
}

void raw(Session &s, Args &a) {
    std::uint32_t code = a.u32("CODE");
    std::vector<unsigned char> buf(KEL_BUF_SIZE);
    std::memcpy(buf.data(), &code, 4);
    std::memcpy(buf.data() + 4, &s.unit, 4);
    while (!a.done()) {
        std::string w = a.next("FIELD=VALUE");
        std::size_t eq = w.find('=');
        if (eq == std::string::npos) usage("'" + w + "' is not FIELD=VALUE");
        std::string name = w.substr(0, eq);
        const Field *f = nullptr;
        for (const auto &x : kFields)
            if (name == x.name) f = &x;
        if (f == nullptr) usage("unknown field '" + name + "'");
        put_field(buf.data(), *f, w.substr(eq + 1));
    }
    std::vector<unsigned char> reply = s.raw(buf.data(), buf.size());
    s.print(print_raw(static_cast<int>(code), reply));
    if (reply.size() == 4) {
        std::int32_t v;
        std::memcpy(&v, reply.data(), 4);
        if (v == -1) {
            Failure f(kExitRefused, "kelfd answered -1: refused, or a command it does not serve");
            f.printed = true;
            throw f;
        }
    }
}

}  // namespace

Object raw_object() {
    return {"raw", nullptr, "any request, field by field", kRawHelp, nullptr, {}};
}

// raw takes its code where other objects take a command.
CommandFn raw_command() {
    return raw;
}

}  // namespace kelfctl

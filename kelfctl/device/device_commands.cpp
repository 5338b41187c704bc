// Platform hardware and daemon objects: phy, gpio, reg, bypass, temp, xcvr,
// daemon, and raw requests for anything else.
#include <cstddef>
#include <cstring>

#include "device.h"
#include "objects.h"

namespace kelfctl {
namespace {

const char kPhyHelp[] = R"(Usage: kelfctl phy read PHY DEV REG
       kelfctl phy write PHY DEV REG VALUE
       kelfctl phy help

Reads or writes a 16-bit PHY register over MDIO: PHY is the PHY address,
DEV the device within it, REG the register.
)";

const char kGpioHelp[] = R"(Usage: kelfctl gpio show GPIO
       kelfctl gpio set GPIO VALUE
       kelfctl gpio direction GPIO { in | out | open-drain } [VALUE]
       kelfctl gpio help

show prints a GPIO line's direction and value; set drives its value;
direction sets its direction and, for an output, its value (default 0).
)";

const char kRegHelp[] = R"(Usage: kelfctl reg read ADDR
       kelfctl reg write ADDR VALUE
       kelfctl reg help

Reads or writes a 32-bit switch register.
)";

const char kBypassHelp[] = R"(Usage: kelfctl bypass read DEV LENGTH
       kelfctl bypass write DEV DATA
       kelfctl bypass help

Reads LENGTH bytes from (writes DATA to) the bypass controller DEV.
DATA is hexadecimal bytes like 01:02:ff or 0102ff, at most 8192 bytes.
)";

const char kTempHelp[] = R"(Usage: kelfctl temp read SENSOR DEV [LENGTH] [-d]
       kelfctl temp write SENSOR DEV DATA
       kelfctl temp help

Without LENGTH, read prints the temperature of sensor SENSOR (0 or 1) at
device DEV in degrees Celsius: it points the sensor at its register 0,
which holds the reading as a signed byte of whole degrees, and reads that
byte; -d prints the byte as read. With LENGTH, read prints LENGTH bytes
from where the sensor points, as they come. write sends DATA (its first
byte chooses the register, the rest are written from there). DATA is
hexadecimal bytes like 01:02:ff, at most 8192 bytes.
)";

const char kXcvrHelp[] = R"(Usage: kelfctl xcvr read [rx] PHY DEV ADDR LENGTH
       kelfctl xcvr write [rx] PHY DEV ADDR DATA
       kelfctl xcvr help

Reads LENGTH bytes from (writes DATA to) transceiver memory at ADDR of
device DEV behind PHY; rx selects the receive-side memory. DATA is
hexadecimal bytes like 01:02:ff, at most 8192 bytes.
)";

const char kDaemonHelp[] = R"(Usage: kelfctl daemon show
       kelfctl daemon set stay-up { on | off }
       kelfctl daemon help

show prints how many switches kelfd has brought up and its stay-up flag.
With stay-up on (kelfd's start value), the switches stay up when kelfd
ends; with it off, kelfd takes them down on its way out.
`daemon` alone shows.
)";

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

int int_arg(Args &a, const char *what) {
    return static_cast<int>(a.number(what, 0, INT32_MAX));
}

void phy_read(Session &s, Args &a) {
    if_kel_t k = s.kel(KEL_READ_PHY);
    k.phy_addr = int_arg(a, "PHY");
    k.dev = int_arg(a, "DEV");
    k.addr = int_arg(a, "REG");
    a.finish();
    s.print(print_value("value", s.value(s.status(k), "read the PHY register"), 4));
}

void phy_write(Session &s, Args &a) {
    if_kel_t k = s.kel(KEL_WRITE_PHY);
    k.phy_addr = int_arg(a, "PHY");
    k.dev = int_arg(a, "DEV");
    k.addr = int_arg(a, "REG");
    k.val = static_cast<int>(a.number("VALUE", 0, 0xFFFF));
    a.finish();
    s.sdk_ok(s.status(k), "write the PHY register");
    s.print_ok();
}

constexpr const char *kDirections[] = {"in", "out", "open-drain"};

void gpio_show(Session &s, Args &a) {
    int g = int_arg(a, "GPIO");
    a.finish();
    if_kel_t k = s.kel(KEL_GET_GPIO_DIR);
    k.dev = g;
    std::int32_t dir = s.status(k);
    k.kel_cmd = KEL_GET_GPIO;
    std::int32_t val = s.status(k);
    if (dir < 0 && val < 0) refused("cannot read GPIO " + std::to_string(g) + ": kelfd refused");
    s.print(print_gpio(g, dir < 0 ? std::nullopt : std::optional<int>(dir),
                       val < 0 ? std::nullopt : std::optional<int>(val)));
}

void gpio_set(Session &s, Args &a) {
    if_kel_t k = s.kel(KEL_SET_GPIO);
    k.dev = int_arg(a, "GPIO");
    k.val = int_arg(a, "VALUE");
    a.finish();
    s.sdk_ok(s.status(k), "set GPIO " + std::to_string(k.dev));
    s.print_ok();
}

void gpio_direction(Session &s, Args &a) {
    if_kel_t k = s.kel(KEL_SET_GPIO_DIR);
    k.dev = int_arg(a, "GPIO");
    std::string d = a.next("direction");
    k.addr = -1;
    for (int i = 0; i < 3; ++i)
        if (d == kDirections[i]) k.addr = i;
    if (k.addr < 0) usage("direction: '" + d + "' is not in, out or open-drain");
    if (!a.done()) k.val = int_arg(a, "VALUE");
    a.finish();
    s.sdk_ok(s.status(k), "set the direction of GPIO " + std::to_string(k.dev));
    s.print_ok();
}

void reg_read(Session &s, Args &a) {
    if_kel_t k = s.kel(KEL_GET_REG);
    k.addr = static_cast<std::int32_t>(a.u32("ADDR"));
    a.finish();
    kel_rule_stat_t r;
    s.record(&k, sizeof k, &r, sizeof r);
    if (r.ret_val != 0)
        refused("cannot read register " + hex(static_cast<std::uint32_t>(k.addr)) +
                ": kelfd refused");
    s.print(print_value("value", static_cast<std::int64_t>(r.kel_rule_stat_cnt.counter), 8));
}

void reg_write(Session &s, Args &a) {
    if_kel_t k = s.kel(KEL_SET_REG);
    k.addr = static_cast<std::int32_t>(a.u32("ADDR"));
    k.val = static_cast<std::int32_t>(a.u32("VALUE"));
    a.finish();
    s.sdk_ok(s.status(k), "write register " + hex(static_cast<std::uint32_t>(k.addr)));
    s.print_ok();
}

// The block commands: the byte count and the data travel in the id list.
std::uint32_t block_length(Args &a) {
    return static_cast<std::uint32_t>(a.number("LENGTH", 0, KEL_QUERY_DATA_MAX));
}

void block_data(Args &a, if_kel_t &k) {
    std::string s = a.next("DATA");
    auto b = value([&] { return parse_bytes(s, "DATA"); });
    if (b.size() > KEL_QUERY_DATA_MAX) usage("DATA: at most 8192 bytes");
    std::memcpy(k.kel_query_list.kel_id_list.id_list, b.data(), b.size());
    k.kel_query_list.kel_id_list.rule_num = static_cast<std::uint32_t>(b.size());
}

kel_query_list_t block(Session &s, const if_kel_t &k, const std::string &what) {
    kel_query_list_t q;
    s.record(&k, sizeof k, &q, sizeof q);
    s.sdk_ok(q.ret, what);
    return q;
}

void block_read(Session &s, if_kel_t &k, Args &a, const std::string &what) {
    std::uint32_t len = block_length(a);
    a.finish();
    k.kel_query_list.kel_id_list.rule_num = len;
    s.print(print_block(block(s, k, "read " + what), len));
}

void block_write(Session &s, if_kel_t &k, Args &a, const std::string &what) {
    block_data(a, k);
    a.finish();
    block(s, k, "write " + what);
    s.print_ok();
}

void bypass_read(Session &s, Args &a) {
    if_kel_t k = s.kel(KEL_BP_READ);
    k.dev = int_arg(a, "DEV");
    block_read(s, k, a, "the bypass controller");
}

void bypass_write(Session &s, Args &a) {
    if_kel_t k = s.kel(KEL_BP_WRITE);
    k.dev = int_arg(a, "DEV");
    block_write(s, k, a, "the bypass controller");
}

if_kel_t temp_request(Session &s, Args &a, bool write) {
    int sensor = static_cast<int>(a.number("SENSOR", 0, 1));
    int code = sensor == 0 ? (write ? KEL_TEMP_WRITE : KEL_TEMP_READ)
                           : (write ? KEL_TEMP1_WRITE : KEL_TEMP1_READ);
    if_kel_t k = s.kel(code);
    k.dev = int_arg(a, "DEV");
    return k;
}

void temp_read(Session &s, Args &a) {
    if_kel_t k = temp_request(s, a, false);
    bool sensor1 = k.kel_cmd == KEL_TEMP1_READ;
    if (!a.done()) return block_read(s, k, a, "the temperature sensor");
    // The reading: point the sensor at register 0, then read its byte.
    if_kel_t w = s.kel(sensor1 ? KEL_TEMP1_WRITE : KEL_TEMP_WRITE);
    w.dev = k.dev;
    w.kel_query_list.kel_id_list.rule_num = 1;  // the register byte, 0
    block(s, w, "point the temperature sensor at its reading");
    k.kel_query_list.kel_id_list.rule_num = 1;
    kel_query_list_t q = block(s, k, "read the temperature sensor");
    if (s.details) return s.print(print_block(q, 1));
    const auto *b = reinterpret_cast<const unsigned char *>(q.kel_id_list.id_list);
    s.print(print_temperature(sensor1 ? 1 : 0, k.dev, static_cast<std::int8_t>(b[0])));
}

void temp_write(Session &s, Args &a) {
    if_kel_t k = temp_request(s, a, true);
    block_write(s, k, a, "the temperature sensor");
}

if_kel_t xcvr_request(Session &s, Args &a, bool write) {
    bool rx = a.accept("rx");
    int code =
        rx ? (write ? KEL_FCI_RX_WRITE : KEL_FCI_RX_READ) : (write ? KEL_FCI_WRITE : KEL_FCI_READ);
    if_kel_t k = s.kel(code);
    k.phy_addr = int_arg(a, "PHY");
    k.dev = int_arg(a, "DEV");
    k.addr = int_arg(a, "ADDR");
    return k;
}

void xcvr_read(Session &s, Args &a) {
    if_kel_t k = xcvr_request(s, a, false);
    block_read(s, k, a, "transceiver memory");
}

void xcvr_write(Session &s, Args &a) {
    if_kel_t k = xcvr_request(s, a, true);
    block_write(s, k, a, "transceiver memory");
}

void daemon_show(Session &s, Args &a) {
    a.finish();
    int n = s.value(s.switch_count(), "read the number of switches");
    int up = s.value(s.status(s.kel(KEL_GET_SW_REMAIN)), "read the stay-up flag");
    s.print(print_daemon(n, up));
}

void daemon_set(Session &s, Args &a) {
    if (!a.accept("stay-up")) usage("daemon set needs stay-up on|off");
    if_kel_t k = s.kel(KEL_SET_SW_REMAIN);
    k.val = a.on_off("stay-up") ? 1 : 0;
    a.finish();
    s.value(s.status(k), "set the stay-up flag");
    s.print_ok();
}

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

std::vector<Object> device_objects() {
    return {
        {"phy",
         nullptr,
         "PHY registers over MDIO",
         kPhyHelp,
         nullptr,
         {{"read", nullptr, phy_read}, {"write", nullptr, phy_write}}},
        {"gpio",
         nullptr,
         "GPIO lines",
         kGpioHelp,
         nullptr,
         {{"show", nullptr, gpio_show},
          {"set", nullptr, gpio_set},
          {"direction", "dir", gpio_direction}}},
        {"reg",
         nullptr,
         "switch registers",
         kRegHelp,
         nullptr,
         {{"read", nullptr, reg_read}, {"write", nullptr, reg_write}}},
        {"bypass",
         nullptr,
         "bypass controller",
         kBypassHelp,
         nullptr,
         {{"read", nullptr, bypass_read}, {"write", nullptr, bypass_write}}},
        {"temp",
         nullptr,
         "temperature sensors",
         kTempHelp,
         nullptr,
         {{"read", nullptr, temp_read}, {"write", nullptr, temp_write}}},
        {"xcvr",
         nullptr,
         "transceiver memory",
         kXcvrHelp,
         nullptr,
         {{"read", nullptr, xcvr_read}, {"write", nullptr, xcvr_write}}},
        {"daemon",
         nullptr,
         "switch count and stay-up flag",
         kDaemonHelp,
         daemon_show,
         {{"show", nullptr, daemon_show}, {"set", nullptr, daemon_set}}},
        {"raw", nullptr, "any request, field by field", kRawHelp, nullptr, {}},
    };
}

// raw takes its code where other objects take a command.
CommandFn raw_command() {
    return raw;
}

}  // namespace kelfctl

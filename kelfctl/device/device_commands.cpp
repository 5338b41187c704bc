// Platform hardware and daemon objects: phy, gpio, reg, bypass, temp, xcvr
// and daemon (raw requests for anything else are raw.cpp's).
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
        raw_object(),
    };
}

}  // namespace kelfctl

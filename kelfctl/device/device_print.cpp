// Printers of phy, gpio, reg, the block devices, daemon and raw.
#include <cstdio>
#include <cstring>

#include "device.h"

namespace kelfctl {
namespace {

// 16 bytes a line with their offset; runs of identical lines shown once,
// then "*", as hexdump does.
std::string dump(const unsigned char *p, std::size_t n) {
    std::string r;
    std::string prev;
    bool starred = false;
    for (std::size_t off = 0; off < n; off += 16) {
        std::size_t len = std::min<std::size_t>(16, n - off);
        std::string bytes;
        for (std::size_t i = 0; i < len; ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%s%02x", i == 0 ? "" : " ", p[off + i]);
            bytes += b;
        }
        if (bytes == prev && len == 16 && off + 16 < n) {
            if (!starred) r += "*\n";
            starred = true;
            continue;
        }
        starred = false;
        prev = bytes;
        char o[24];
        std::snprintf(o, sizeof o, "%04zx  ", off);
        r += o + bytes + "\n";
    }
    return r;
}

}  // namespace

Output print_value(const std::string &key, std::int64_t v, int hex_digits) {
    Record r;
    r.add(key, hex_digits > 0 ? hexnum(static_cast<std::uint64_t>(v), hex_digits) : num(v));
    return out(r);
}

Output print_temperature(int sensor, int dev, int celsius) {
    Record r;
    r.add("sensor", num(sensor))
        .add("device", hexnum(static_cast<std::uint32_t>(dev), 2))
        .add("celsius", Cell{celsius, std::to_string(celsius) + " \u00b0C"});
    return out(r);
}

Output print_block(const kel_query_list_t &q, std::uint32_t length) {
    std::uint32_t n = std::min<std::uint32_t>(length, KEL_QUERY_DATA_MAX);
    const auto *p = reinterpret_cast<const unsigned char *>(q.kel_id_list.id_list);
    Json j = Json::object();
    j["length"] = n;
    j["data"] = format_bytes(p, n);
    return {j, dump(p, n)};
}

Output print_gpio(int gpio, std::optional<int> direction, std::optional<int> value) {
    static const char *names[] = {"in", "out", "open-drain"};
    Record r;
    r.add("gpio", num(gpio));
    if (!direction)
        r.add("direction", none());
    else if (*direction >= 0 && *direction < 3)
        r.add("direction", str(names[*direction]));
    else
        r.add("direction", num(*direction));
    r.add("value", value ? num(*value) : none());
    return out(r);
}

Output print_daemon(int switches, int stay_up) {
    Record r;
    r.add("switches", num(switches)).add("stay-up", on_off(stay_up != 0));
    return out(r);
}

Output print_raw(int code, const std::vector<unsigned char> &reply) {
    Json j = Json::object();
    j["code"] = code;
    j["size"] = reply.size();
    if (reply.size() == 4) {
        std::int32_t v;
        std::memcpy(&v, reply.data(), 4);
        j["status"] = v;
        return {j, "status " + std::to_string(v) + "\n"};
    }
    j["reply"] = format_bytes(reply.data(), reply.size());
    return {
        j, "reply " + std::to_string(reply.size()) + " bytes\n" + dump(reply.data(), reply.size())};
}

}  // namespace kelfctl

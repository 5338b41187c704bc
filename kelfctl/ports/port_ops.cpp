// The requests of the config, mask and port objects.
#include "ports.h"

namespace kelfctl {

void set_bits(std::uint8_t *set, const std::vector<int> &ports) {
    for (int p : ports) set[p / 8] = static_cast<std::uint8_t>(set[p / 8] | (1u << (p % 8)));
}

std::int32_t read_config(Session &s) {
    return s.status(s.kel(KEL_GET_CFG));
}

std::int32_t send_config(Session &s, int cfg) {
    if_kel_t k = s.kel(KEL_SET_CFG);
    k.cfg = cfg;
    return s.status(k);
}

std::int32_t send_masks(Session &s, const std::vector<int> &ingress,
                        const std::vector<int> &egress) {
    if_kel_mask_t m = s.mask(KEL_SET_PORT_MASK);
    set_bits(m.mask.ingress, ingress);
    set_bits(m.mask.egress, egress);
    return s.status(m);
}

std::vector<int> read_mask(Session &s, int p) {
    if_kel_mask_t m = s.mask(KEL_GET_PORT_MASK);
    set_bits(m.mask.ingress, {p});
    kel_mask_t r;
    s.record(&m, sizeof m, &r, sizeof r);
    if (r.ret_val != 0)
        refused("cannot read the mask of port " + std::to_string(p) + ": kelfd refused");
    std::vector<int> egress;
    for (int q = 1; q <= kMaskPorts; ++q)
        if (r.egress[q / 8] & (1u << (q % 8))) egress.push_back(q);
    return egress;
}

std::int32_t read_port_value(Session &s, int code, int port) {
    if_kel_t k = s.kel(code);
    k.port = port;
    return s.status(k);
}

std::int32_t send_port_setting(Session &s, const PortSetting &ps, int port) {
    if_kel_t k = s.kel(ps.code);
    k.val = ps.val;
    k.dev = ps.dev;
    k.addr = ps.addr;
    if (ps.field_port == 0)
        k.port = port;
    else if (ps.field_port == 1)
        k.dev = port;
    else
        k.val = port;
    return s.status(k);
}

const PortProperty kFileProperties[3] = {
    {"parser", KEL_GET_PORT_PARSER, KEL_SET_PORT_PARSER},
    {"frame-update", KEL_GET_RFRAME_UPDATE, KEL_SET_RFRAME_UPDATE},
    {"ttl-update", KEL_GET_TTL_UPDATE, KEL_SET_TTL_UPDATE}};

PortSetting property_setting(const PortProperty &p, std::int64_t value) {
    return {std::string("set ") + p.kw, p.set, 0, static_cast<std::int32_t>(value)};
}

kel_lbg_query_list_t read_port_state(Session &s, int port) {
    if_kel_lbg_t l = s.lbg(KEL_GET_PORT_STATE);
    l.lbg = port;
    kel_lbg_query_list_t q;
    s.record(&l, sizeof l, &q, sizeof q);
    return q;
}

}  // namespace kelfctl

// configuration.cpp - operating configurations: whole-switch layouts of
// which port may forward to which, chosen by number.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "daemon.h"
#include "messages.h"
#include "ports.h"
#include "rules/rules.h"
#include "sdk_util.h"

int cur_cfg[KEL_MAX_UNITS] = {};

namespace {

// Configurations touch ports 1 to 48 at most; port 0, the CPU port, never.
constexpr fm_int kLastPort = KEL_MAX_PORTS;
// Set-ups 5 and 6 and the mask commands use arrays of bits 0..47.
constexpr fm_int kMaskBits = KEL_MAX_PORTS;
// Configuration 2: ports 1..4 fan in to port 5, which holds bits 0..5.
constexpr fm_int kFanInPorts = 4;
constexpr fm_int kFanInHub = 5;
constexpr fm_int kFanInBits = kFanInHub + 1;
constexpr fm_int kFanInFirstSource = 50000;

void write_mask(fm_int sw, fm_int port, kelf::BitArray &mask) {
    fmSetPortAttribute(sw, port, FM_PORT_MASK_WIDE, mask.get());
}

// Writes the port's mask empty first, so that for a moment it forwards
// nowhere rather than to a mix of old and new ports, then with bits set.
void write_mask_via_empty(fm_int sw, fm_int port, std::initializer_list<fm_int> bits) {
    kelf::BitArray mask;
    if (mask.create(kFanInBits) != FM_OK) return;
    write_mask(sw, port, mask);
    for (fm_int b : bits) fmSetBitArrayBit(mask.get(), b, TRUE);
    write_mask(sw, port, mask);
}

// Configuration 2's masks: ports 1..4 may forward only to port 5, and port
// 5 only to ports 1..4.
void setupPortFanIn(fm_int sw) {
    for (fm_int p = 1; p <= kFanInPorts; ++p) write_mask_via_empty(sw, p, {kFanInHub});
    write_mask_via_empty(sw, kFanInHub, {1, 2, 3, 4});
}

// Configuration 2's rules: traffic from logical ports 50000..50003 is
// redirected to ports 1..4, in rule group 0 with ids the table chooses.
// What the rule engine answers is not the configuration's concern.
void redirectFanInSources(fm_int sw) {
    if_kel_t req;
    std::memset(&req, 0, sizeof req);
    req.unit = sw;
    for (int i = 0; i < kFanInPorts; ++i) {
        req.kel_mem.port = kFanInFirstSource + i;
        req.kel_mem.redir_port = i + 1;
        kel_add_rule_fn(KEL_ACT_REDIRECT, &req);
    }
}

}  // namespace

namespace kelf::ports {
void reset() {
    for (int &c : cur_cfg) c = 0;
}
}  // namespace kelf::ports

int setupPortBypass(fm_int sw) {
    // Bits up to 48, so that the last pair (47,48) gets its partner like
    // every other pair and no bit outside the array is ever asked for.
    kelf::BitArray mask;
    if (mask.create(kLastPort + 1) != FM_OK) return 0;
    for (fm_int p = 1; p < kLastPort; p += 2) {
        fm_int partner = p + 1;
        write_mask(sw, p, mask);
        fmSetBitArrayBit(mask.get(), partner, TRUE);
        write_mask(sw, p, mask);
        fmSetBitArrayBit(mask.get(), partner, FALSE);
        write_mask(sw, partner, mask);
        fmSetBitArrayBit(mask.get(), p, TRUE);
        write_mask(sw, partner, mask);
        fmSetBitArrayBit(mask.get(), p, FALSE);
    }
    return 0;
}

int setupPortMon2(fm_int sw) {
    kelf::BitArray mask;
    if (mask.create(kMaskBits) != FM_OK) return 0;
    for (fm_int p = 1; p < kLastPort; ++p) write_mask(sw, p, mask);
    return 0;
}

int setupPortInit(fm_int sw) {
    kelf::BitArray mask;
    if (mask.create(kMaskBits) != FM_OK) return 0;
    for (fm_int q = 1; q < kLastPort; ++q) fmSetBitArrayBit(mask.get(), q, TRUE);
    for (fm_int p = 1; p < kLastPort; ++p) write_mask(sw, p, mask);
    return 0;
}

int kelf::ports::apply_configuration(int unit, int cfg) {
    if (!kelf::unit_inserted(unit) || unit >= KEL_MAX_UNITS) return -1;
    // What the SDK does with each mask is not checked: a configuration is
    // recorded once chosen, as far as the switch took it.
    switch (cfg) {
        case 1:
            setupPortBypass(unit);
            break;
        case 2:
            setupPortFanIn(unit);
            redirectFanInSources(unit);
            break;
        case 5:
            setupPortMon2(unit);
            break;
        case 6:
            setupPortInit(unit);
            break;
        default:
            std::printf(kelf::msg::kUnsupportedCfg, cfg);
            std::fflush(stdout);
            return -1;
    }
    cur_cfg[unit] = cfg;
    return 0;
}

int kel_set_cfg_fn(int unit, int cfg) {
    if (cfg < 1 || cfg > 6) {
        std::printf(kelf::msg::kCfgOutOfRange, cfg);
        std::fflush(stdout);
        return -1;
    }
    return kelf::ports::apply_configuration(unit, cfg);
}

int kel_get_cfg_fn(int unit) {
    if (!kelf::unit_inserted(unit) || unit >= KEL_MAX_UNITS) return -1;
    return cur_cfg[unit];
}

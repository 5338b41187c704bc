// configuration.cpp - operating configurations: whole-switch layouts of
// which port may forward to which, chosen by number.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "daemon.h"
#include "messages.h"
#include "ports.h"
#include "rules/rule_txn.h"
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

// The outcome of a configuration's switch calls: every call is made, the
// first failure is said (one line, whatever follows) and fails the whole.
class Outcome {
public:
    bool check(fm_status st, const char *call, fm_int port) {
        if (st == FM_OK) return true;
        if (!failed_) {
            if (port >= 0)
                std::printf("port %d: %s: %s\n", port, call, fmErrorMsg(st));
            else
                std::printf("%s: %s\n", call, fmErrorMsg(st));
            std::fflush(stdout);
        }
        failed_ = true;
        return false;
    }
    // 0, or -1 when a call failed.
    int status() const { return failed_ ? -1 : 0; }

private:
    bool failed_ = false;
};

void write_mask(fm_int sw, fm_int port, kelf::BitArray &mask, Outcome &out) {
    out.check(fmSetPortAttribute(sw, port, FM_PORT_MASK_WIDE, mask.get()),
              "fmSetPortAttribute FM_PORT_MASK_WIDE", port);
}

void set_bit(kelf::BitArray &mask, fm_int bit, fm_bool value, fm_int port, Outcome &out) {
    out.check(fmSetBitArrayBit(mask.get(), bit, value), "fmSetBitArrayBit", port);
}

bool create_mask(kelf::BitArray &mask, fm_int bits, Outcome &out) {
    return out.check(mask.create(bits), "fmCreateBitArray", -1);
}

// Writes the port's mask empty first, so that for a moment it forwards
// nowhere rather than to a mix of old and new ports, then with bits set.
void write_mask_via_empty(fm_int sw, fm_int port, std::initializer_list<fm_int> bits,
                          Outcome &out) {
    kelf::BitArray mask;
    if (!create_mask(mask, kFanInBits, out)) return;
    write_mask(sw, port, mask, out);
    for (fm_int b : bits) set_bit(mask, b, TRUE, port, out);
    write_mask(sw, port, mask, out);
}

// Configuration 2's masks: ports 1..4 may forward only to port 5, and port
// 5 only to ports 1..4.
int setupPortFanIn(fm_int sw) {
    Outcome out;
    for (fm_int p = 1; p <= kFanInPorts; ++p) write_mask_via_empty(sw, p, {kFanInHub}, out);
    write_mask_via_empty(sw, kFanInHub, {1, 2, 3, 4}, out);
    return out.status();
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
    Outcome out;
    kelf::BitArray mask;
    if (!create_mask(mask, kLastPort + 1, out)) return out.status();
    for (fm_int p = 1; p < kLastPort; p += 2) {
        fm_int partner = p + 1;
        write_mask(sw, p, mask, out);
        set_bit(mask, partner, TRUE, p, out);
        write_mask(sw, p, mask, out);
        set_bit(mask, partner, FALSE, p, out);
        write_mask(sw, partner, mask, out);
        set_bit(mask, p, TRUE, partner, out);
        write_mask(sw, partner, mask, out);
        set_bit(mask, p, FALSE, partner, out);
    }
    return out.status();
}

int setupPortMon2(fm_int sw) {
    Outcome out;
    kelf::BitArray mask;
    if (!create_mask(mask, kMaskBits, out)) return out.status();
    for (fm_int p = 1; p < kLastPort; ++p) write_mask(sw, p, mask, out);
    return out.status();
}

int setupPortInit(fm_int sw) {
    Outcome out;
    kelf::BitArray mask;
    if (!create_mask(mask, kMaskBits, out)) return out.status();
    for (fm_int q = 1; q < kLastPort; ++q) set_bit(mask, q, TRUE, -1, out);
    for (fm_int p = 1; p < kLastPort; ++p) write_mask(sw, p, mask, out);
    return out.status();
}

int kelf::ports::apply_configuration(int unit, int cfg) {
    if (!kelf::unit_inserted(unit) || unit >= KEL_MAX_UNITS) return -1;
    // A configuration is recorded only when the switch took every mask
    // write; the rules of configuration 2 are the rule engine's concern.
    int st = 0;
    switch (cfg) {
        case 1:
            st = setupPortBypass(unit);
            break;
        case 2:
            st = setupPortFanIn(unit);
            redirectFanInSources(unit);
            break;
        case 5:
            st = setupPortMon2(unit);
            break;
        case 6:
            st = setupPortInit(unit);
            break;
        default:
            std::printf(kelf::msg::kUnsupportedCfg, cfg);
            std::fflush(stdout);
            return -1;
    }
    if (st != 0) return -1;
    cur_cfg[unit] = cfg;
    return 0;
}

int kel_set_cfg_fn(int unit, int cfg) {
    if (cfg < 1 || cfg > 6) {
        std::printf(kelf::msg::kCfgOutOfRange, cfg);
        std::fflush(stdout);
        return -1;
    }
    // A configuration may add rules: not while another client stages the
    // unit's rules.
    if (kelf::rules::txn::refused(unit)) return -1;
    return kelf::ports::apply_configuration(unit, cfg);
}

int kel_get_cfg_fn(int unit) {
    if (!kelf::unit_inserted(unit) || unit >= KEL_MAX_UNITS) return -1;
    return cur_cfg[unit];
}

// random_request.h - random requests of valid command codes with fields as
// clients send them, written into a Dispatcher's buffer: what
// fuzz/random_requests and the reset test drive the daemon with. Free of
// any test framework.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>

#include "dispatch.h"

namespace kelftest {

// clang-format off
inline constexpr int kCodes[] = {
    KEL_INIT, KEL_CLEAR, KEL_CLEAR_GROUP, KEL_SET_CFG, KEL_SET_DROP, KEL_SET_DIR, KEL_SET_MIR,
    KEL_GET_CFG, KEL_INSTALL, KEL_INSTALL_GROUP, KEL_GET_CNT, KEL_ENTRY_REMOVE, KEL_ENTRY_QUERY,
    KEL_ENTRY_QUERY_LIST, KEL_GET_DEV_NUM, KEL_SET_PORT_MASK, KEL_GET_PORT_MASK, KEL_SET_PERMIT,
    KEL_SET_MOD0, KEL_SET_MOD1, KEL_SET_MOD2, KEL_SET_L2_HASH, KEL_SET_L3_HASH, KEL_SET_RULE,
    KEL_LBG_QUERY_LIST, KEL_LBG_PORT_QUERY_LIST, KEL_LBG_REMOVE, KEL_LBG_ADD, KEL_LBG_PORT_REMOVE,
    KEL_LBG_PORT_ADD, KEL_GET_L2_HASH, KEL_GET_L3_HASH, KEL_GET_PORT_LINK, KEL_GET_TEMP,
    KEL_MIR_QUERY_LIST, KEL_MIR_PORT_QUERY_LIST, KEL_MIR_REMOVE, KEL_MIR_ADD, KEL_MIR_PORT_REMOVE,
    KEL_MIR_PORT_ADD, KEL_SET_PRIO, KEL_MIR_VLAN_ADD, KEL_ADD_VLAN_PROMISC, KEL_DEL_VLAN_PROMISC,
    KEL_GET_PORT_SPEED, KEL_GET_PORT_ETH_MODE, KEL_MCG_CREATE, KEL_MCG_GET_PORT,
    KEL_MCG_ADD_LISTENER, KEL_MCG_REMOVE, KEL_SET_PORT_PARSER, KEL_GET_PORT_PARSER,
    KEL_SET_RFRAME_UPDATE, KEL_GET_RFRAME_UPDATE, KEL_SET_TTL_UPDATE, KEL_GET_TTL_UPDATE,
    KEL_SET_SW_REMAIN, KEL_GET_SW_REMAIN, KEL_READ_PHY, KEL_WRITE_PHY, KEL_CPLD_READ,
    KEL_CPLD_WRITE, KEL_BP_READ, KEL_BP_WRITE, KEL_GET_GPIO_DIR, KEL_SET_GPIO_DIR, KEL_GET_GPIO,
    KEL_SET_GPIO, KEL_GET_REG, KEL_SET_REG, KEL_TEMP_READ, KEL_TEMP_WRITE, KEL_SET_PRBS,
    KEL_GET_PORT_STATE, KEL_SET_LOOPBACK, KEL_TEMP1_READ, KEL_TEMP1_WRITE, KEL_FCI_READ,
    KEL_FCI_WRITE, KEL_FCI_RX_READ, KEL_FCI_RX_WRITE, KEL_GET_VLAN_STAT, KEL_GET_STAT,
    KEL_GET_PRIO_STAT, KEL_RESET_STAT, KEL_GET_POWER};
// clang-format on

// A field value as clients send them: mostly small numbers (units, groups,
// ports, ids, counts), sometimes the edges, sometimes anything.
inline std::int32_t field(std::mt19937_64 &rng) {
    switch (rng() % 10) {
        case 0:
            return 0;
        case 1:
            return static_cast<std::int32_t>(rng() % 3);
        case 2:
        case 3:
        case 4:
            return static_cast<std::int32_t>(rng() % 64);
        case 5:
            return static_cast<std::int32_t>(rng() % 4200);
        case 6:
            return -static_cast<std::int32_t>(rng() % 3);
        case 7: {
            const std::int32_t edges[] = {INT32_MIN, INT32_MAX, 4095, 4096, 65535, 65536, 50000,
                                          32,        33,        16,   17,   48,    49};
            return edges[rng() % (sizeof edges / sizeof edges[0])];
        }
        default:
            return static_cast<std::int32_t>(rng());
    }
}

// Fills the dispatcher's buffer with a random request: random fields over
// the first part of the buffer (where every layout keeps its fields) and
// the tail fields of if_kel (action .. val), a valid command code and a
// unit mostly 0 or 1. Clearing is rare, so that tables grow as a client's
// would. Returns the code.
inline int random_request(std::mt19937_64 &rng, kelf::Dispatcher &d) {
    d.clear();
    unsigned char *raw = d.buffer().raw;
    const std::size_t words = (rng() % 4 == 0) ? KEL_BUF_SIZE / 4 : 80;
    for (std::size_t w = 0; w < words; ++w) {
        std::int32_t v = field(rng);
        std::memcpy(raw + 4 * w, &v, 4);
    }
    for (std::size_t off = offsetof(if_kel_t, action); off + 4 <= KEL_BUF_SIZE; off += 4) {
        std::int32_t v = field(rng);
        std::memcpy(raw + off, &v, 4);
    }
    int code = kCodes[rng() % (sizeof kCodes / sizeof kCodes[0])];
    if (code == KEL_CLEAR && rng() % 50 != 0) code = KEL_SET_DROP;
    std::int32_t unit = rng() % 8 == 0 ? field(rng) : static_cast<std::int32_t>(rng() % 2);
    std::memcpy(raw, &code, 4);
    std::memcpy(raw + 4, &unit, 4);
    return code;
}

}  // namespace kelftest

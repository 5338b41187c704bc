#include "dispatch.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "daemon.h"
#include "device/platform_access.h"
#include "device/port_properties.h"
#include "device/statistics.h"
#include "distribution/distribution.h"
#include "events.h"
#include "extensions/extensions.h"
#include "messages.h"
#include "ports/ports.h"
#include "rules/rule_txn.h"
#include "rules/rules.h"

namespace kelf {
namespace {

enum class Shape : std::uint8_t {
    Unknown,    // "keld: Unknown command", -1
    NoAction,   // status word, nothing done
    Refused,    // -1, nothing printed
    Status,     // the handler's result as the status word
    Record,     // a record of the buffer, the result stored in it
    QueryRule,  // the stored rule and its status (command 13)
};

using Handler = int (*)(kel_buf &);

struct Row {
    Shape shape = Shape::Unknown;
    Handler fn = nullptr;
    std::uint16_t off = 0;      // record reply: first byte in the buffer
    std::uint16_t size = 0;     // record reply: length
    std::int16_t ret_off = -1;  // record reply: where the result goes, -1 nowhere
};

constexpr std::size_t kCodes = KEL_CMD_MAX + 1;  // a row for every code

Row status(Handler fn) {
    return {Shape::Status, fn, 0, 4, -1};
}
Row record(Handler fn, std::size_t off, std::size_t size, int ret_off) {
    return {Shape::Record, fn, static_cast<std::uint16_t>(off), static_cast<std::uint16_t>(size),
            static_cast<std::int16_t>(ret_off)};
}

// Record replies, by their place in the buffer.
constexpr std::size_t kQueryList = offsetof(if_kel_t, kel_query_list);           // 254, 8200
constexpr std::size_t kQueryListRet = offsetof(if_kel_t, kel_query_list.ret);    // 8450
constexpr std::size_t kRuleStat = offsetof(if_kel_t, kel_rule_stat);             // 8454, 12
constexpr std::size_t kStat = offsetof(if_kel_t, kel_stat);                      // 8494, 820
constexpr std::size_t kL2Hash = offsetof(if_kel_t, l2_hash);                     // 9314, 44
constexpr std::size_t kL3Hash = offsetof(if_kel_t, l3_hash);                     // 9358, 50
constexpr std::size_t kLbgList = offsetof(if_kel_lbg_t, kel_query_list);         // 8, 136
constexpr std::size_t kLbgListRet = offsetof(if_kel_lbg_t, kel_query_list.ret);  // 140
constexpr std::size_t kMask = offsetof(if_kel_mask_t, mask);                     // 8, 36
constexpr std::size_t kMaskRet = offsetof(if_kel_mask_t, mask.ret_val);          // 40

Row query_list(Handler fn) {
    return record(fn, kQueryList, sizeof(kel_query_list_t), kQueryListRet);
}
Row lbg_list(Handler fn) {
    return record(fn, kLbgList, sizeof(kel_lbg_query_list_t), kLbgListRet);
}

// Each subsystem registers its handlers here and nowhere else. A row whose
// handler is not there yet answers as an unknown command.
std::array<Row, kCodes> make_table() {
    std::array<Row, kCodes> t{};
    for (int c : {KEL_INIT, KEL_CLEAR_GROUP, KEL_INSTALL, KEL_SET_MOD0, KEL_SET_MOD1, KEL_SET_MOD2,
                  KEL_GET_TEMP, KEL_CPLD_READ, KEL_CPLD_WRITE, KEL_GET_VLAN_STAT})
        t[static_cast<std::size_t>(c)] = {Shape::NoAction};
    t[KEL_LBG_PORT_REMOVE] = {Shape::Refused};
    t[KEL_LBG_PORT_ADD] = {Shape::Refused};

    // Rule engine.
    t[KEL_CLEAR] = status([](kel_buf &b) { return kel_clear_fn(b.kel.unit); });
    t[KEL_SET_DROP] = status([](kel_buf &b) { return kel_add_rule_fn(KEL_ACT_DROP, &b.kel); });
    t[KEL_SET_DIR] = status([](kel_buf &b) { return kel_add_rule_fn(KEL_ACT_REDIRECT, &b.kel); });
    t[KEL_SET_MIR] = status([](kel_buf &b) { return kel_add_rule_fn(KEL_ACT_MIRROR, &b.kel); });
    t[KEL_SET_PERMIT] = status([](kel_buf &b) { return kel_add_rule_fn(KEL_ACT_PERMIT, &b.kel); });
    t[KEL_SET_RULE] = status([](kel_buf &b) { return kel_add_rule_fn(b.kel.action, &b.kel); });
    t[KEL_GET_CNT] = record(
        [](kel_buf &b) {
            return kel_rule_count_fn(b.kel.unit, b.kel.kel_mem.group, b.kel.rule_id,
                                     &b.kel.kel_rule_stat);
        },
        kRuleStat, sizeof(kel_rule_stat_t), -1);
    t[KEL_ENTRY_REMOVE] = status(
        [](kel_buf &b) { return kel_entry_remove_fn(b.kel.unit, b.kel.rule_id, b.kel.group); });
    t[KEL_ENTRY_QUERY] = {Shape::QueryRule, [](kel_buf &b) {
                              return kel_entry_query_fn(b.kel.unit, &b.kel.kel_mem);
                          }};
    t[KEL_ENTRY_QUERY_LIST] = query_list([](kel_buf &b) {
        return kel_entry_query_list_fn(b.kel.unit, b.kel.group, &b.kel.kel_query_list);
    });

    // Port configuration.
    t[KEL_SET_CFG] = status([](kel_buf &b) { return kel_set_cfg_fn(b.kel.unit, b.kel.cfg); });
    t[KEL_GET_CFG] = status([](kel_buf &b) { return kel_get_cfg_fn(b.kel.unit); });
    t[KEL_SET_PORT_MASK] = status([](kel_buf &b) {
        return kel_set_port_mask_fn(static_cast<int>(b.mask.unit), &b.mask.mask);
    });
    t[KEL_GET_PORT_MASK] = record(
        [](kel_buf &b) {
            return kel_get_port_mask_fn(static_cast<int>(b.mask.unit), &b.mask.mask);
        },
        kMask, sizeof(kel_mask_t), kMaskRet);

    // Daemon life and switch events.
    t[KEL_GET_DEV_NUM] = status([](kel_buf &) { return kel_get_dev_num_fn(); });
    t[KEL_GET_PORT_LINK] =
        status([](kel_buf &b) { return kel_get_port_link_fn(b.kel.unit, b.kel.port); });

    // Traffic distribution.
    t[KEL_SET_L2_HASH] =
        status([](kel_buf &b) { return kel_set_l2_hash_fn(b.kel.unit, &b.kel.l2_hash); });
    t[KEL_SET_L3_HASH] =
        status([](kel_buf &b) { return kel_set_l3_hash_fn(b.kel.unit, &b.kel.l3_hash); });
    t[KEL_GET_L2_HASH] =
        record([](kel_buf &b) { return kel_get_l2_hash_fn(b.kel.unit, &b.kel.l2_hash); }, kL2Hash,
               sizeof(kel_l2_hash_t), -1);
    t[KEL_GET_L3_HASH] =
        record([](kel_buf &b) { return kel_get_l3_hash_fn(b.kel.unit, &b.kel.l3_hash); }, kL3Hash,
               sizeof(kel_l3_hash_t), -1);
    t[KEL_LBG_QUERY_LIST] = lbg_list(
        [](kel_buf &b) { return kel_lbg_query_list_fn(b.lbg.unit, &b.lbg.kel_query_list); });
    t[KEL_LBG_REMOVE] = status([](kel_buf &b) { return kel_lbg_remove_fn(b.lbg.unit, b.lbg.lbg); });
    t[KEL_LBG_ADD] = status(
        [](kel_buf &b) { return kel_lbg_add_fn(b.lbg.unit, &b.lbg.kel_query_list.kel_lbg_list); });
    t[KEL_MIR_QUERY_LIST] = lbg_list(
        [](kel_buf &b) { return kel_mir_query_list_fn(b.lbg.unit, &b.lbg.kel_query_list); });
    t[KEL_MIR_PORT_QUERY_LIST] = lbg_list([](kel_buf &b) {
        return kel_mir_port_query_list_fn(b.lbg.unit, b.lbg.lbg, &b.lbg.kel_query_list);
    });
    t[KEL_MIR_REMOVE] = status([](kel_buf &b) { return kel_mir_remove_fn(b.lbg.unit, b.lbg.lbg); });
    t[KEL_MIR_ADD] = status([](kel_buf &b) {
        return kel_mir_add_fn(b.lbg.unit, b.lbg.lbg, &b.lbg.kel_query_list.kel_lbg_list);
    });
    t[KEL_MIR_PORT_REMOVE] = status(
        [](kel_buf &b) { return kel_mir_port_remove_fn(b.lbg.unit, b.lbg.lbg, b.lbg.port); });
    t[KEL_MIR_PORT_ADD] =
        status([](kel_buf &b) { return kel_mir_port_add_fn(b.lbg.unit, b.lbg.lbg, b.lbg.port); });
    t[KEL_MIR_VLAN_ADD] =
        status([](kel_buf &b) { return kel_mir_vlan_add_fn(b.kel.unit, b.kel.port, b.kel.group); });
    t[KEL_MCG_CREATE] = status([](kel_buf &b) { return kel_mcg_create_fn(b.kel.unit); });
    t[KEL_MCG_GET_PORT] =
        status([](kel_buf &b) { return kel_mcg_get_port_fn(b.kel.unit, b.kel.group); });
    t[KEL_MCG_ADD_LISTENER] = status([](kel_buf &b) {
        return kel_mcg_add_listener_fn(b.kel.unit, b.kel.group, b.kel.port, b.kel.val);
    });
    t[KEL_MCG_REMOVE] =
        status([](kel_buf &b) { return kel_mcg_remove_fn(b.kel.unit, b.kel.group); });

    // Device access and statistics.
    t[KEL_ADD_VLAN_PROMISC] =
        status([](kel_buf &b) { return kel_add_vlan_promisc_fn(b.kel.unit, b.kel.port); });
    t[KEL_DEL_VLAN_PROMISC] =
        status([](kel_buf &b) { return kel_del_vlan_promisc_fn(b.kel.unit, b.kel.port); });
    t[KEL_GET_PORT_SPEED] =
        status([](kel_buf &b) { return kel_get_port_speed_fn(b.kel.unit, b.kel.port); });
    t[KEL_GET_PORT_ETH_MODE] =
        status([](kel_buf &b) { return kel_get_port_eth_mode_fn(b.kel.unit, b.kel.port); });
    t[KEL_SET_PORT_PARSER] = status(
        [](kel_buf &b) { return kel_set_port_parser_fn(b.kel.unit, b.kel.port, b.kel.val); });
    t[KEL_GET_PORT_PARSER] =
        status([](kel_buf &b) { return kel_get_port_parser_fn(b.kel.unit, b.kel.port); });
    t[KEL_SET_RFRAME_UPDATE] = status(
        [](kel_buf &b) { return kel_set_rframe_update_fn(b.kel.unit, b.kel.port, b.kel.val); });
    t[KEL_GET_RFRAME_UPDATE] =
        status([](kel_buf &b) { return kel_get_rframe_update_fn(b.kel.unit, b.kel.port); });
    t[KEL_SET_TTL_UPDATE] =
        status([](kel_buf &b) { return kel_set_ttl_update_fn(b.kel.unit, b.kel.port, b.kel.val); });
    t[KEL_GET_TTL_UPDATE] =
        status([](kel_buf &b) { return kel_get_ttl_update_fn(b.kel.unit, b.kel.port); });
    t[KEL_SET_SW_REMAIN] = status([](kel_buf &b) { return kel_set_sw_remain_fn(b.kel.val); });
    t[KEL_GET_SW_REMAIN] = status([](kel_buf &) { return kel_get_sw_remain_fn(); });
    t[KEL_SET_PRBS] = status(
        [](kel_buf &b) { return kel_set_prbs_fn(b.kel.unit, b.kel.val, b.kel.dev, b.kel.addr); });
    t[KEL_GET_PORT_STATE] = lbg_list([](kel_buf &b) {
        return kel_get_port_state_fn(b.lbg.unit, b.lbg.lbg, &b.lbg.kel_query_list);
    });
    t[KEL_SET_LOOPBACK] =
        status([](kel_buf &b) { return kel_set_loopback_fn(b.kel.unit, b.kel.dev, b.kel.val); });
    t[KEL_READ_PHY] = status([](kel_buf &b) {
        return kel_read_phy_fn(b.kel.unit, b.kel.phy_addr, b.kel.dev, b.kel.addr);
    });
    t[KEL_WRITE_PHY] = status([](kel_buf &b) {
        return kel_write_phy_fn(b.kel.unit, b.kel.phy_addr, b.kel.dev, b.kel.addr, b.kel.val);
    });
    t[KEL_BP_READ] = query_list(
        [](kel_buf &b) { return kel_bp_read_fn(b.kel.unit, b.kel.dev, &b.kel.kel_query_list); });
    t[KEL_BP_WRITE] = query_list(
        [](kel_buf &b) { return kel_bp_write_fn(b.kel.unit, b.kel.dev, &b.kel.kel_query_list); });
    t[KEL_GET_GPIO_DIR] =
        status([](kel_buf &b) { return kel_get_gpio_dir_fn(b.kel.unit, b.kel.dev); });
    t[KEL_SET_GPIO_DIR] = status([](kel_buf &b) {
        return kel_set_gpio_dir_fn(b.kel.unit, b.kel.dev, b.kel.addr, b.kel.val);
    });
    t[KEL_GET_GPIO] = status([](kel_buf &b) { return kel_get_gpio_fn(b.kel.unit, b.kel.dev); });
    t[KEL_SET_GPIO] =
        status([](kel_buf &b) { return kel_set_gpio_fn(b.kel.unit, b.kel.dev, b.kel.val); });
    t[KEL_GET_REG] = record(
        [](kel_buf &b) { return kel_get_reg_fn(b.kel.unit, b.kel.addr, &b.kel.kel_rule_stat); },
        kRuleStat, sizeof(kel_rule_stat_t), -1);
    t[KEL_SET_REG] =
        status([](kel_buf &b) { return kel_set_reg_fn(b.kel.unit, b.kel.addr, b.kel.val); });
    t[KEL_TEMP_READ] = query_list(
        [](kel_buf &b) { return kel_temp_read_fn(b.kel.unit, b.kel.dev, &b.kel.kel_query_list); });
    t[KEL_TEMP_WRITE] = query_list(
        [](kel_buf &b) { return kel_temp_write_fn(b.kel.unit, b.kel.dev, &b.kel.kel_query_list); });
    t[KEL_TEMP1_READ] = query_list(
        [](kel_buf &b) { return kel_temp1_read_fn(b.kel.unit, b.kel.dev, &b.kel.kel_query_list); });
    t[KEL_TEMP1_WRITE] = query_list([](kel_buf &b) {
        return kel_temp1_write_fn(b.kel.unit, b.kel.dev, &b.kel.kel_query_list);
    });
    t[KEL_FCI_READ] = query_list([](kel_buf &b) {
        return kel_fci_read_fn(b.kel.unit, b.kel.phy_addr, b.kel.dev, b.kel.addr,
                               &b.kel.kel_query_list);
    });
    t[KEL_FCI_WRITE] = query_list([](kel_buf &b) {
        return kel_fci_write_fn(b.kel.unit, b.kel.phy_addr, b.kel.dev, b.kel.addr,
                                &b.kel.kel_query_list);
    });
    t[KEL_FCI_RX_READ] = query_list([](kel_buf &b) {
        return kel_fci_rx_read_fn(b.kel.unit, b.kel.phy_addr, b.kel.dev, b.kel.addr,
                                  &b.kel.kel_query_list);
    });
    t[KEL_FCI_RX_WRITE] = query_list([](kel_buf &b) {
        return kel_fci_rx_write_fn(b.kel.unit, b.kel.phy_addr, b.kel.dev, b.kel.addr,
                                   &b.kel.kel_query_list);
    });
    t[KEL_GET_STAT] = record(
        [](kel_buf &b) { return kel_get_stat_fn(b.kel.unit, b.kel.kel_mem.port, &b.kel.kel_stat); },
        kStat, sizeof(kel_stat_t), -1);
    t[KEL_GET_PRIO_STAT] = record(
        [](kel_buf &b) {
            return kel_get_prio_stat_fn(b.kel.unit, b.kel.kel_mem.port, &b.kel.kel_stat);
        },
        kStat, sizeof(kel_stat_t), -1);
    t[KEL_RESET_STAT] =
        status([](kel_buf &b) { return kel_reset_stat_fn(b.kel.unit, b.kel.kel_mem.port); });
    return t;
}

const std::array<Row, kCodes> kTable = make_table();

}  // namespace

bool does_nothing(std::uint32_t code) {
    if (code >= kCodes) return true;
    const Row &r = kTable[code];
    return r.shape == Shape::Unknown || r.shape == Shape::NoAction || r.shape == Shape::Refused ||
           r.fn == nullptr;
}

std::size_t request_size(std::uint32_t code) {
    if (code >= kCodes) return sizeof code;
    switch (kTable[code].shape) {
        case Shape::Unknown:
        case Shape::NoAction:
        case Shape::Refused:
            return sizeof code;
        default:
            break;
    }
    if (kTable[code].fn == nullptr) return sizeof code;  // answered as unknown
    switch (code) {
        case KEL_GET_DEV_NUM:
        case KEL_GET_SW_REMAIN:
            return sizeof code;
        case KEL_SET_PORT_MASK:
        case KEL_GET_PORT_MASK:
            return sizeof(if_kel_mask_t);
        case KEL_LBG_QUERY_LIST:
        case KEL_LBG_REMOVE:
        case KEL_LBG_ADD:
        case KEL_MIR_QUERY_LIST:
        case KEL_MIR_PORT_QUERY_LIST:
        case KEL_MIR_REMOVE:
        case KEL_MIR_ADD:
        case KEL_MIR_PORT_REMOVE:
        case KEL_MIR_PORT_ADD:
        case KEL_GET_PORT_STATE:
            return sizeof(if_kel_lbg_t);
        default:
            return sizeof(if_kel_t);
    }
}

Dispatcher::Dispatcher() {
    std::memset(&buf_, 0, sizeof buf_);
    std::memset(&query_, 0, sizeof query_);
}

void Dispatcher::clear() {
    std::memset(&buf_, 0, sizeof buf_);
}

Reply Dispatcher::run(const unsigned char *rec, std::size_t n) {
    std::uint32_t code = 0;
    std::memcpy(&code, rec, std::min(n, sizeof code));
    if (n >= sizeof code && extensions::served(code)) return extensions::serve(*this, rec, n, out_);
    return run_command(rec, n);
}

Reply Dispatcher::run_command(const unsigned char *rec, std::size_t n) {
    if (n == 0) {
        // Nothing to carry out; the status reply is still attempted.
        ret_fn_ = 0;
        return {&ret_fn_, sizeof ret_fn_};
    }
    const std::size_t m = std::min(n, sizeof buf_.raw);
    if (rec != buf_.raw) std::memmove(buf_.raw, rec, m);
    std::memset(buf_.raw + m, 0, sizeof buf_.raw - m);
    return dispatch();
}

std::chrono::steady_clock::duration Dispatcher::tick() {
    return rules::txn::expire(std::chrono::steady_clock::now());
}

Reply Dispatcher::dispatch() {
    // Every request starts from a clean status: a no-action code answers 0,
    // never what the request before it left.
    ret_fn_ = 0;
    std::fflush(stdout);
    std::uint32_t code;
    std::memcpy(&code, buf_.raw, sizeof code);
    const Row *row = code < kCodes ? &kTable[code] : nullptr;
    bool known =
        row != nullptr && row->shape != Shape::Unknown &&
        (row->fn != nullptr || row->shape == Shape::NoAction || row->shape == Shape::Refused);
    if (!known) {
        std::puts(kelf::msg::kUnknownCommand);
        std::fflush(stdout);
        ret_fn_ = -1;
        return {&ret_fn_, sizeof ret_fn_};
    }
    switch (row->shape) {
        case Shape::NoAction:
            break;
        case Shape::Refused:
            ret_fn_ = -1;
            break;
        case Shape::Status:
            ret_fn_ = row->fn(buf_);
            break;
        case Shape::Record:
            ret_fn_ = row->fn(buf_);
            if (row->ret_off >= 0) std::memcpy(buf_.raw + row->ret_off, &ret_fn_, sizeof ret_fn_);
            return {buf_.raw + row->off, row->size};
        case Shape::QueryRule:
            ret_fn_ = row->fn(buf_);
            std::memcpy(&query_.kel_mem, &buf_.kel.kel_mem, sizeof query_.kel_mem);
            query_.ret = ret_fn_;
            return {&query_, sizeof query_};
        case Shape::Unknown:
            break;
    }
    return {&ret_fn_, sizeof ret_fn_};
}

}  // namespace kelf

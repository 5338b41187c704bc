/*
 * kel_lib.h - the control protocol of kelfd.
 *
 * Every record that travels on the control socket, and every command code.
 * The daemon and its clients both compile this header, from C or C++.
 * Records are byte-packed, in host (little-endian) byte order: no field is
 * aligned and no padding exists anywhere. The size and offset checks at the
 * end refuse to build a layout that differs from the wire.
 */
#ifndef KEL_LIB_H
#define KEL_LIB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the daemon's receive buffer: one if_kel. */
#define KEL_BUF_SIZE 9428

/* Limits compiled into the daemon. */
#define KEL_MAX_UNITS 8
#define KEL_MAX_GROUPS 32
#define KEL_MAX_RULES 4096
#define KEL_MAX_PORTS 48
#define KEL_LBG_LIST_MAX 32
#define KEL_QUERY_DATA_MAX 8192

/*
 * List replies (load-balancing groups, mirrors, a mirror's ports) carry at
 * most this many numbers, though the record has room for KEL_LBG_LIST_MAX;
 * the count field tells how many exist in all.
 */
#define KEL_REPLY_LIST_MAX 16

/* Where the daemon and its clients meet: $KELF_RUN_DIR, else /var/run. */
#define KEL_RUN_DIR_ENV "KELF_RUN_DIR"
#define KEL_DEFAULT_RUN_DIR "/var/run"
#define KEL_SOCKET_NAME "kelfctl.sock"
#define KEL_PID_NAME "kelfctl.pid"

/*
 * Rule action codes (kel_mem.rule_act of a rule query, if_kel.action of
 * KEL_SET_RULE): bits that combine. A stored rule always carries
 * KEL_ACT_COUNT; a mirror rule is stored as KEL_ACT_MIRROR_STORED with it.
 */
#define KEL_ACT_PERMIT 0x1
#define KEL_ACT_DROP 0x2
#define KEL_ACT_MIRROR 0x8
#define KEL_ACT_COUNT 0x20
#define KEL_ACT_SET_VLAN 0x100
#define KEL_ACT_SET_VLAN_PRI 0x200
#define KEL_ACT_SET_SWITCH_PRI 0x400
#define KEL_ACT_SET_USER 0x1000
#define KEL_ACT_LBG 0x2000
#define KEL_ACT_REDIRECT 0x8000
#define KEL_ACT_MIRROR_STORED 0x100000

/* Selector bits of kel_l2_hash_t.l2_hash_set. */
#define KEL_L2_HASH_SRC_MAC 0x1
#define KEL_L2_HASH_DST_MAC 0x2
#define KEL_L2_HASH_ETHER_TYPE 0x4
#define KEL_L2_HASH_VLAN_ID 0x8
#define KEL_L2_HASH_VLAN_PRI 0x10
#define KEL_L2_HASH_SYM_MAC 0x20

/* Selector bits of kel_l3_hash_t.l3_hash_set. */
#define KEL_L3_HASH_SRC_IP 0x1
#define KEL_L3_HASH_DST_IP 0x2
#define KEL_L3_HASH_SRC_PORT 0x4
#define KEL_L3_HASH_DST_PORT 0x8
#define KEL_L3_HASH_DSCP 0x10
#define KEL_L3_HASH_ISL_USER 0x20
#define KEL_L3_HASH_PROTO 0x40
#define KEL_L3_HASH_FLOW 0x80
#define KEL_L3_HASH_SYM_L3 0x100
#define KEL_L3_HASH_SYM_L4 0x200
#define KEL_L3_HASH_CUSTOM 0x400
#define KEL_L3_HASH_RANDOM_NEXT_HOP 0x800
#define KEL_L3_HASH_RANDOM_OTHER 0x1000
#define KEL_L3_HASH_RANDOM_ONLY 0x2000

/* Both selectors: the record names the hash profile it is written under. */
#define KEL_HASH_PROFILE 0x1000000

#pragma pack(push, 1)

/* Command codes; the gaps are unassigned and answer as unknown commands. */
enum kel_conf {
    KEL_INIT = 1,
    KEL_CLEAR = 2,
    KEL_CLEAR_GROUP = 3,
    KEL_SET_CFG = 4,
    KEL_SET_DROP = 5,
    KEL_SET_DIR = 6,
    KEL_SET_MIR = 7,
    KEL_GET_CFG = 8,
    KEL_INSTALL = 9,
    KEL_INSTALL_GROUP = 10,
    KEL_GET_CNT = 11,
    KEL_ENTRY_REMOVE = 12,
    KEL_ENTRY_QUERY = 13,
    KEL_ENTRY_QUERY_LIST = 14,
    KEL_GET_DEV_NUM = 15,
    KEL_SET_PORT_MASK = 16,
    KEL_GET_PORT_MASK = 17,
    KEL_SET_PERMIT = 18,
    KEL_SET_MOD0 = 49,
    KEL_SET_MOD1 = 50,
    KEL_SET_MOD2 = 51,
    KEL_SET_L2_HASH = 52,
    KEL_SET_L3_HASH = 53,
    KEL_SET_RULE = 54,
    KEL_LBG_QUERY_LIST = 55,
    KEL_LBG_PORT_QUERY_LIST = 56,
    KEL_LBG_REMOVE = 57,
    KEL_LBG_ADD = 58,
    KEL_LBG_PORT_REMOVE = 59,
    KEL_LBG_PORT_ADD = 60,
    KEL_GET_L2_HASH = 61,
    KEL_GET_L3_HASH = 62,
    KEL_GET_PORT_LINK = 63,
    KEL_GET_TEMP = 64,
    KEL_MIR_QUERY_LIST = 65,
    KEL_MIR_PORT_QUERY_LIST = 66,
    KEL_MIR_REMOVE = 67,
    KEL_MIR_ADD = 68,
    KEL_MIR_PORT_REMOVE = 69,
    KEL_MIR_PORT_ADD = 70,
    KEL_SET_PRIO = 71,
    KEL_MIR_VLAN_ADD = 72,
    KEL_ADD_VLAN_PROMISC = 73,
    KEL_DEL_VLAN_PROMISC = 74,
    KEL_GET_PORT_SPEED = 75,
    KEL_GET_PORT_ETH_MODE = 76,
    KEL_MCG_CREATE = 77,
    KEL_MCG_GET_PORT = 78,
    KEL_MCG_ADD_LISTENER = 79,
    KEL_MCG_REMOVE = 80,
    KEL_SET_PORT_PARSER = 81,
    KEL_GET_PORT_PARSER = 82,
    KEL_SET_RFRAME_UPDATE = 83,
    KEL_GET_RFRAME_UPDATE = 84,
    KEL_SET_TTL_UPDATE = 85,
    KEL_GET_TTL_UPDATE = 86,
    KEL_SET_SW_REMAIN = 87,
    KEL_GET_SW_REMAIN = 88,
    KEL_READ_PHY = 100,
    KEL_WRITE_PHY = 101,
    KEL_CPLD_READ = 102,
    KEL_CPLD_WRITE = 103,
    KEL_BP_READ = 104,
    KEL_BP_WRITE = 105,
    KEL_GET_GPIO_DIR = 106,
    KEL_SET_GPIO_DIR = 107,
    KEL_GET_GPIO = 108,
    KEL_SET_GPIO = 109,
    KEL_GET_REG = 110,
    KEL_SET_REG = 111,
    KEL_TEMP_READ = 112,
    KEL_TEMP_WRITE = 113,
    KEL_SET_PRBS = 114,
    KEL_GET_PORT_STATE = 115,
    KEL_SET_LOOPBACK = 116,
    KEL_TEMP1_READ = 117,
    KEL_TEMP1_WRITE = 118,
    KEL_FCI_READ = 119,
    KEL_FCI_WRITE = 120,
    KEL_FCI_RX_READ = 121,
    KEL_FCI_RX_WRITE = 122,
    KEL_GET_VLAN_STAT = 200,
    KEL_GET_STAT = 201,
    KEL_GET_PRIO_STAT = 202,
    KEL_RESET_STAT = 203,
    KEL_GET_POWER = 204
};

/* The highest command code: a table with a row per code has
 * KEL_CMD_MAX + 1 rows. */
#define KEL_CMD_MAX KEL_GET_POWER

/*
 * Extensions: kelfd's own additions to the protocol, all in one block of
 * codes above every code listed above (docs/protocol.md describes each).
 * A daemon without them answers every code of the block as an unknown
 * command (status -1), so a client asks KEL_X_HELLO first and keeps to the
 * codes above when the hello is refused.
 */
#define KEL_X_FIRST 1000
#define KEL_X_LAST 1063 /* the block; codes not named here are unknown */
enum kel_x_conf {
    /* kel_x_hello -> kel_x_hello_reply */
    KEL_X_HELLO = 1000,
    /* kel_x_envelope + any request -> kel_x_why_reply: the request's reply
     * and the lines the daemon printed while serving it */
    KEL_X_WHY = 1001,
    /* kel_x_begin -> status: the transaction's token, or -1 */
    KEL_X_TXN_BEGIN = 1002,
    /* kel_x_envelope (token) + a rule add, remove or clear -> its status */
    KEL_X_TXN = 1003,
    /* kel_x_token -> status 0, or -1 with the unit as before */
    KEL_X_TXN_COMMIT = 1004,
    /* kel_x_token -> status 0, or -1 for a token that is not open */
    KEL_X_TXN_ABORT = 1005,
    /* kel_x_envelope (count) + count items, each a uint32_t length and a
     * request -> count items, each a uint32_t length and that request's
     * reply: several requests served in their order, in one exchange */
    KEL_X_MULTI = 1006,
    /* kel_x_envelope (arg: the unit) -> kel_x_auto_ids: per group the id
     * most recently handed out automatically, as a transaction of the unit
     * sees it when asked within it */
    KEL_X_AUTO_IDS = 1007,
    /* Read-backs: kel_x_read -> kel_x_list and its items. Each answers as
     * many items as one reply holds (KEL_X_READ_MAX bytes) and says where
     * the next read starts. */
    /* the rules of a group, or of the unit from a group on, in the order
     * that decides (group, then rule id): kel_x_rule items */
    KEL_X_RULES = 1008,
    /* every port of the unit, 0 to KEL_MAX_PORTS: kel_x_port items */
    KEL_X_PORTS = 1009,
    /* every port's counters: kel_x_counters items */
    KEL_X_COUNTERS = 1010,
    /* load-balancing groups with their bins and ports: kel_x_lbg items */
    KEL_X_LBGS = 1011,
    /* mirrors with their port, type, VLAN and monitored ports:
     * kel_x_mirror items */
    KEL_X_MIRRORS = 1012,
    /* multicast groups with their port and listeners: kel_x_mcast items,
     * each followed by its listeners */
    KEL_X_MCASTS = 1013,
    /* the unit's configuration, hash settings and daemon flag: one
     * kel_x_unit item */
    KEL_X_UNIT = 1014,
    /* kel_x_label -> status: gives a rule or an object a label, which
     * every read-back reports while it exists */
    KEL_X_LABEL = 1015
};

/* Extension protocol version, and the magic of a hello reply ("KELX"). */
#define KEL_X_VERSION 1
#define KEL_X_MAGIC 0x584C454Bu
/* How long a transaction may see no request before it is aborted, and the
 * most a client may ask for. */
#define KEL_X_TXN_IDLE_MS 10000
#define KEL_X_TXN_IDLE_MAX_MS 600000
/* The most text a KEL_X_WHY reply carries; longer output is cut at a line
 * end and ends in "...\n". */
#define KEL_X_WHY_TEXT_MAX 8192
/* The largest request (a KEL_X_MULTI's items together), and the most items
 * one carries. */
#define KEL_X_MAX_REQUEST 65536
#define KEL_X_MULTI_MAX 4096
/* The most bytes of items one read-back reply carries. */
#define KEL_X_READ_MAX (1024 * 1024)
/* A label's bytes, its terminating NUL included. */
#define KEL_X_LABEL_MAX 64
/* kel_x_read.flags of KEL_X_RULES. */
#define KEL_X_READ_COUNTERS 0x1  /* read each rule's frame counter */
#define KEL_X_READ_ONE_GROUP 0x2 /* stop at the end of the first group */
#define KEL_X_READ_LABELLED 0x4  /* only the rules that have a label */
/* kel_x_label.kind */
#define KEL_X_LABEL_RULE 0
#define KEL_X_LABEL_LBG 1
#define KEL_X_LABEL_MIRROR 2
#define KEL_X_LABEL_MCAST 3
/* kel_x_port.kind */
#define KEL_X_PORT_CPU 0
#define KEL_X_PORT_ETHERNET 1
#define KEL_X_PORT_PCIE 2
#define KEL_X_PORT_OTHER 3

/* User-defined field match: offset, data and mask. */
typedef struct kel_udf_s {
    int16_t flag;
    uint32_t offset;
    uint32_t data;
    uint32_t mask;
} kel_udf_t;

/* A MAC address and whether it takes part in the rule. */
typedef struct kel_mac_s {
    int16_t flag;
    uint8_t mac[6];
} kel_mac_t;

/* An IPv6 address (or mask) and whether it takes part in the rule. */
typedef struct kel_ip6_s {
    int16_t flag;
    uint8_t ip[16];
} kel_ip6_t;

/* One rule: its match fields and its actions. */
typedef struct kel_mem {
    int32_t group;
    int32_t rule_id;
    int32_t rule_act;
    int32_t port;
    int32_t redir_port;
    int32_t src_port;
    int32_t dst_port;
    uint32_t src_ip;
    uint32_t dst_ip;
    uint32_t src_ip_mask;
    uint32_t dst_ip_mask;
    int32_t src_port_mask;
    int32_t dst_port_mask;
    int32_t src_port_max;
    int32_t dst_port_max;
    int32_t ip_protocol;
    int32_t vlan;
    int32_t vlan_mask;
    int32_t vlan_max;
    int32_t mirror_port;
    int32_t mpls_type;
    uint64_t mpls_header;
    uint64_t mpls_header_mask;
    int32_t ether_type;
    kel_udf_t kel_udf;
    kel_mac_t src_mac;
    kel_mac_t dst_mac;
    kel_ip6_t src_ip6;
    kel_ip6_t dst_ip6;
    kel_ip6_t src_ip6_mask;
    kel_ip6_t dst_ip6_mask;
    int32_t vlan_act;
    int32_t vlan_pri_act;
    int32_t vlan_tag;
    int32_t user_act;
} kel_mem_t;

/* Rule ids of one group (command 14), or the byte count of a block. */
typedef struct kel_id_list {
    uint32_t rule_num;
    uint16_t id_list[4096];
} kel_id_list_t;

/* An id list, or a data block of the platform memory commands. */
typedef struct kel_query_list {
    kel_id_list_t kel_id_list;
    int32_t ret;
} kel_query_list_t;

typedef struct kel_rule_stat_cnt {
    uint64_t counter;
} kel_rule_stat_cnt_t;

typedef struct kel_rule_stat {
    kel_rule_stat_cnt_t kel_rule_stat_cnt;
    int32_t ret_val;
} kel_rule_stat_t;

typedef struct kel_vlan_stat_cnt {
    uint64_t vland;
    uint64_t tvlan;
    uint64_t tvland;
} kel_vlan_stat_cnt_t;

typedef struct kel_vlan_stat {
    kel_vlan_stat_cnt_t kel_vlan_stat_cnt;
    int32_t ret_val;
} kel_vlan_stat_t;

typedef struct kelb_stat_cnt {
    uint64_t total;
    uint64_t txnoerror;
    uint64_t rxnoerror;
    uint64_t rxdrop;
    uint64_t txdrop;
} kelb_stat_cnt_t;

/* The port counters of command 201, in wire order. */
typedef struct kelf_stat_cnt {
    uint64_t cntRxUcstPkts;
    uint64_t cntRxUcstPktsNonIP;
    uint64_t cntRxUcstPktsIPv4;
    uint64_t cntRxUcstPktsIPv6;
    uint64_t cntRxBcstPkts;
    uint64_t cntRxBcstPktsNonIP;
    uint64_t cntRxBcstPktsIPv4;
    uint64_t cntRxBcstPktsIPv6;
    uint64_t cntRxMcstPkts;
    uint64_t cntRxMcstPktsNonIP;
    uint64_t cntRxMcstPktsIPv4;
    uint64_t cntRxMcstPktsIPv6;
    uint64_t cntRxPausePkts;
    uint64_t cntRxCBPausePkts;
    uint64_t cntRxFCSErrors;
    uint64_t cntRxSymbolErrors;
    uint64_t cntRxFrameSizeErrors;
    uint64_t cntRxMinTo63Pkts;
    uint64_t cntRx64Pkts;
    uint64_t cntRx65to127Pkts;
    uint64_t cntRx128to255Pkts;
    uint64_t cntRx256to511Pkts;
    uint64_t cntRx512to1023Pkts;
    uint64_t cntRx1024to1522Pkts;
    uint64_t cntRx1523to2047Pkts;
    uint64_t cntRx2048to4095Pkts;
    uint64_t cntRx4096to8191Pkts;
    uint64_t cntRx8192to10239Pkts;
    uint64_t cntRx10240toMaxPkts;
    uint64_t cntRxFragmentPkts;
    uint64_t cntRxUndersizedPkts;
    uint64_t cntRxJabberPkts;
    uint64_t cntRxOversizedPkts;
    uint64_t cntRxGoodOctets;
    uint64_t cntRxOctetsNonIp;
    uint64_t cntRxOctetsIPv4;
    uint64_t cntRxOctetsIPv6;
    uint64_t cntRxBadOctets;
    uint64_t cntRxPriorityPkts;
    uint64_t cntRxPriorityOctets;
    uint64_t cntTxUcstPkts;
    uint64_t cntTxBcstPkts;
    uint64_t cntTxMcstPkts;
    uint64_t cntTxPausePkts;
    uint64_t cntTxFCSErroredPkts;
    uint64_t cntTxErrorDropPkts;
    uint64_t cntTxTimeOutPkts;
    uint64_t cntTxLoopbackPkts;
    uint64_t cntTxMinTo63Pkts;
    uint64_t cntTx64Pkts;
    uint64_t cntTx65to127Pkts;
    uint64_t cntTx128to255Pkts;
    uint64_t cntTx256to511Pkts;
    uint64_t cntTx512to1023Pkts;
    uint64_t cntTx1024to1522Pkts;
    uint64_t cntTx1523to2047Pkts;
    uint64_t cntTx2048to4095Pkts;
    uint64_t cntTx4096to8191Pkts;
    uint64_t cntTx8192to10239Pkts;
    uint64_t cntTx10240toMaxPkts;
    uint64_t cntTxOctets;
    uint64_t cntTxErrorOctets;
    uint64_t cntTxCMDropPkts;
    uint64_t cntFIDForwardedPkts;
    uint64_t cntFloodForwardedPkts;
    uint64_t cntSpeciallyHandledPkts;
    uint64_t cntParseErrDropPkts;
    uint64_t cntParityErrorPkts;
    uint64_t cntTrappedPkts;
    uint64_t cntPauseDropPkts;
    uint64_t cntSTPDropPkts;
    uint64_t cntReservedTrapPkts;
    uint64_t cntSecurityViolationPkts;
    uint64_t cntVLANTagDropPkts;
    uint64_t cntVLANIngressBVPkts;
    uint64_t cntVLANEgressBVPkts;
    uint64_t cntGlortMissDropPkts;
    uint64_t cntFFUDropPkts;
    uint64_t cntPolicerDropPkts;
    uint64_t cntTTLDropPkts;
    uint64_t cntCmPrivDropPkts;
    uint64_t cntSmp0DropPkts;
    uint64_t cntSmp1DropPkts;
    uint64_t cntRxHog0DropPkts;
    uint64_t cntRxHog1DropPkts;
    uint64_t cntTxHog0DropPkts;
    uint64_t cntTxHog1DropPkts;
    uint64_t cntRateLimit0DropPkts;
    uint64_t cntRateLimit1DropPkts;
    uint64_t cntBadSmpDropPkts;
    uint64_t cntTriggerDropRedirPkts;
    uint64_t cntTriggerDropPkts;
    uint64_t cntTriggerRedirPkts;
    uint64_t cntTriggerMirroredPkts;
    uint64_t cntBroadcastDropPkts;
    uint64_t cntDLFDropPkts;
    uint64_t cntRxCMDropPkts;
    uint64_t cntUnderrunPkts;
    uint64_t cntOverrunPkts;
    uint64_t cntCorruptedPkts;
    uint64_t cntStatsDropCountTx;
    uint64_t cntStatsDropCountRx;
} kelf_stat_cnt_t;

/*
 * The counters of kelf_stat_cnt_t in wire order, for code that walks them by
 * name: X(name) once per counter. The checks below hold it to the record.
 */
/* clang-format off */
#define KEL_STAT_COUNTERS(X) \
    X(cntRxUcstPkts) X(cntRxUcstPktsNonIP) X(cntRxUcstPktsIPv4) X(cntRxUcstPktsIPv6) \
    X(cntRxBcstPkts) X(cntRxBcstPktsNonIP) X(cntRxBcstPktsIPv4) X(cntRxBcstPktsIPv6) \
    X(cntRxMcstPkts) X(cntRxMcstPktsNonIP) X(cntRxMcstPktsIPv4) X(cntRxMcstPktsIPv6) \
    X(cntRxPausePkts) X(cntRxCBPausePkts) X(cntRxFCSErrors) X(cntRxSymbolErrors) \
    X(cntRxFrameSizeErrors) X(cntRxMinTo63Pkts) X(cntRx64Pkts) X(cntRx65to127Pkts) \
    X(cntRx128to255Pkts) X(cntRx256to511Pkts) X(cntRx512to1023Pkts) X(cntRx1024to1522Pkts) \
    X(cntRx1523to2047Pkts) X(cntRx2048to4095Pkts) X(cntRx4096to8191Pkts) X(cntRx8192to10239Pkts) \
    X(cntRx10240toMaxPkts) X(cntRxFragmentPkts) X(cntRxUndersizedPkts) X(cntRxJabberPkts) \
    X(cntRxOversizedPkts) X(cntRxGoodOctets) X(cntRxOctetsNonIp) X(cntRxOctetsIPv4) \
    X(cntRxOctetsIPv6) X(cntRxBadOctets) X(cntRxPriorityPkts) X(cntRxPriorityOctets) \
    X(cntTxUcstPkts) X(cntTxBcstPkts) X(cntTxMcstPkts) X(cntTxPausePkts) \
    X(cntTxFCSErroredPkts) X(cntTxErrorDropPkts) X(cntTxTimeOutPkts) X(cntTxLoopbackPkts) \
    X(cntTxMinTo63Pkts) X(cntTx64Pkts) X(cntTx65to127Pkts) X(cntTx128to255Pkts) \
    X(cntTx256to511Pkts) X(cntTx512to1023Pkts) X(cntTx1024to1522Pkts) X(cntTx1523to2047Pkts) \
    X(cntTx2048to4095Pkts) X(cntTx4096to8191Pkts) X(cntTx8192to10239Pkts) X(cntTx10240toMaxPkts) \
    X(cntTxOctets) X(cntTxErrorOctets) X(cntTxCMDropPkts) X(cntFIDForwardedPkts) \
    X(cntFloodForwardedPkts) X(cntSpeciallyHandledPkts) X(cntParseErrDropPkts) X(cntParityErrorPkts) \
    X(cntTrappedPkts) X(cntPauseDropPkts) X(cntSTPDropPkts) X(cntReservedTrapPkts) \
    X(cntSecurityViolationPkts) X(cntVLANTagDropPkts) X(cntVLANIngressBVPkts) X(cntVLANEgressBVPkts) \
    X(cntGlortMissDropPkts) X(cntFFUDropPkts) X(cntPolicerDropPkts) X(cntTTLDropPkts) \
    X(cntCmPrivDropPkts) X(cntSmp0DropPkts) X(cntSmp1DropPkts) X(cntRxHog0DropPkts) \
    X(cntRxHog1DropPkts) X(cntTxHog0DropPkts) X(cntTxHog1DropPkts) X(cntRateLimit0DropPkts) \
    X(cntRateLimit1DropPkts) X(cntBadSmpDropPkts) X(cntTriggerDropRedirPkts) X(cntTriggerDropPkts) \
    X(cntTriggerRedirPkts) X(cntTriggerMirroredPkts) X(cntBroadcastDropPkts) X(cntDLFDropPkts) \
    X(cntRxCMDropPkts) X(cntUnderrunPkts) X(cntOverrunPkts) X(cntCorruptedPkts) \
    X(cntStatsDropCountTx) X(cntStatsDropCountRx)
/* clang-format on */

/* The per-priority counters of command 202. */
typedef struct kelf_prio_stat_cnt {
    uint64_t cntRxPriorityPkts[16];
} kelf_prio_stat_cnt_t;

typedef union kel_stat_cnt {
    kelb_stat_cnt_t kelb;
    kelf_stat_cnt_t kelf;
    kelf_prio_stat_cnt_t prio_kelf;
} kel_stat_cnt_t;

typedef struct kel_stat {
    kel_stat_cnt_t kel_stat_cnt;
    int32_t ret_val;
} kel_stat_t;

/* L2 hash fields; l2_hash_set selects which of them a set writes. */
typedef struct kel_l2_hash {
    uint32_t l2_hash_set;
    uint32_t profile_index;
    uint8_t src_mac_mask[6];
    uint8_t dst_mac_mask[6];
    uint32_t ether_type_mask;
    uint32_t vlan_id_mask;
    uint32_t vlan_pri;
    uint32_t vlan2_id_mask;
    uint32_t vlan2_pri;
    uint32_t sym_mac;
} kel_l2_hash_t;

/* L3 hash fields; l3_hash_set selects which of them a set writes. */
typedef struct kel_l3_hash {
    uint32_t l3_hash_set;
    uint32_t profile_index;
    uint32_t src_ip_mask;
    uint32_t dst_ip_mask;
    uint32_t src_port_mask;
    uint32_t dst_port_mask;
    uint32_t dscp_mask;
    uint32_t isl_usr_mask;
    uint32_t proto_mask;
    uint32_t custom_mask;
    uint32_t flow_mask;
    uint8_t sym_l3_fields;
    uint8_t sym_l4_fields;
    uint8_t use_ptable;
    uint8_t random_next_hop;
    uint8_t random_other;
    uint8_t random_only;
} kel_l3_hash_t;

/* The full request record. */
typedef struct if_kel {
    int32_t kel_cmd;
    int32_t unit;
    int32_t cfg;
    kel_mem_t kel_mem;
    int32_t if_index;
    int32_t rule_id;
    int32_t group;
    int32_t port;
    uint32_t mask;
    kel_query_list_t kel_query_list;
    kel_rule_stat_t kel_rule_stat;
    kel_vlan_stat_t kel_vlan_stat;
    kel_stat_t kel_stat;
    kel_l2_hash_t l2_hash;
    kel_l3_hash_t l3_hash;
    int32_t action;
    int32_t phy_addr;
    int32_t addr;
    int32_t dev;
    int32_t val;
} if_kel_t;

/* A list of up to 32 numbers: ports, groups or mirrors. */
typedef struct kel_lbg_list {
    int32_t lbg_num;
    int32_t lbg_list[32];
} kel_lbg_list_t;

typedef struct kel_lbg_query_list {
    kel_lbg_list_t kel_lbg_list;
    int32_t ret;
} kel_lbg_query_list_t;

/* Request record of the load-balancing, mirror and port-state commands. */
typedef struct if_kel_lbg {
    int32_t kel_cmd;
    int32_t unit;
    kel_lbg_query_list_t kel_query_list;
    int32_t lbg;
    int32_t port;
} if_kel_lbg_t;

/* Port masks: port p is bit (p mod 8) of byte (p div 8). */
typedef struct kel_mask {
    uint8_t ingress[16];
    uint8_t egress[16];
    int32_t ret_val;
} kel_mask_t;

/* Request record of the port-mask commands. */
typedef struct if_kel_mask {
    uint32_t kel_cmd;
    uint32_t unit;
    kel_mask_t mask;
} if_kel_mask_t;

/* Reply of command 13: the stored rule and the query's status. */
typedef struct kel_query_rule {
    kel_mem_t kel_mem;
    int32_t ret;
} kel_query_rule_t;

/* Extension records (codes KEL_X_*). */
typedef struct kel_x_hello {
    uint32_t kel_cmd; /* KEL_X_HELLO */
    int32_t unit;     /* not read */
    uint32_t client_version;
} kel_x_hello_t;

typedef struct kel_x_hello_reply {
    uint32_t magic;      /* KEL_X_MAGIC */
    uint32_t version;    /* KEL_X_VERSION */
    uint64_t extensions; /* bit (code - KEL_X_FIRST) set for every code served */
    char daemon[32];     /* the daemon's version, NUL-terminated */
    int32_t ret;         /* 0 */
} kel_x_hello_reply_t;

/* Put in front of another request: KEL_X_WHY (arg 0) or KEL_X_TXN (arg the
 * token). The request follows at once, as it would travel alone. */
typedef struct kel_x_envelope {
    uint32_t kel_cmd;
    int32_t arg;
} kel_x_envelope_t;

/* The reply of KEL_X_WHY: reply_len bytes of the request's own reply, then
 * a uint32_t text_len and that many bytes of text (lines, each ending in a
 * newline), then the end of the connection. */
typedef struct kel_x_why_reply {
    uint32_t reply_len;
} kel_x_why_reply_t;

typedef struct kel_x_auto_ids {
    int32_t ret; /* 0, or -1 for a unit that is not up */
    int32_t last[KEL_MAX_GROUPS];
} kel_x_auto_ids_t;

typedef struct kel_x_begin {
    uint32_t kel_cmd; /* KEL_X_TXN_BEGIN */
    int32_t unit;
    uint32_t idle_ms; /* 0: KEL_X_TXN_IDLE_MS */
} kel_x_begin_t;

typedef struct kel_x_token {
    uint32_t kel_cmd; /* KEL_X_TXN_COMMIT or KEL_X_TXN_ABORT */
    int32_t token;
} kel_x_token_t;

/* A read-back request. KEL_X_RULES reads group `group` from rule id
 * `from` on (and the groups after it, unless KEL_X_READ_ONE_GROUP); the
 * others read from item number `from` on (a port, an object's number). */
typedef struct kel_x_read {
    uint32_t kel_cmd;
    int32_t unit;
    int32_t group;
    uint32_t flags;
    int64_t from;
} kel_x_read_t;

/* The head of a read-back reply; count items of item_size bytes follow
 * (item_size 0: each item gives its own length, see kel_x_mcast). When
 * next_from is -1 everything was read; otherwise the next read asks for
 * next_group and next_from. */
typedef struct kel_x_list {
    int32_t ret; /* 0, or -1 (a unit that is not up, a group out of range) */
    uint32_t count;
    uint32_t item_size;
    int32_t next_group;
    int64_t next_from;
} kel_x_list_t;

/* One rule as the daemon holds it: mem is the rule as an add request would
 * carry it (rule_act the action bits of command 54, with every parameter:
 * redir_port, mirror_port, vlan_act, vlan_pri_act, user_act, vlan_tag),
 * with the flag of every MAC and IPv6 address it matches set. */
typedef struct kel_x_rule {
    int32_t group;
    int32_t rule_id;
    int32_t slot;        /* its slot in the group's table; -1 while staged */
    int32_t counter_ret; /* the frame counter's read: 0, or -1 (not read) */
    uint64_t frames;
    uint64_t action; /* the switch's action bits */
    uint64_t cond;   /* the switch's condition bits */
    kel_mem_t mem;
    char label[KEL_X_LABEL_MAX];
} kel_x_rule_t;

typedef struct kel_x_port {
    int32_t port;
    int32_t kind;         /* KEL_X_PORT_* */
    int32_t link;         /* 1 up, 0 down, -1 unknown: the switch's port state */
    int32_t state;        /* the switch's port state, -1 when it cannot be read */
    int32_t mode;         /* Ethernet interface mode, -1 when it cannot be read */
    int32_t speed;        /* Mb/s, -1 when it cannot be read */
    int32_t parser;       /* as KEL_GET_PORT_PARSER answers it, or -1 */
    int32_t frame_update; /* as KEL_GET_RFRAME_UPDATE answers it, or -1 */
    int32_t ttl_update;   /* as KEL_GET_TTL_UPDATE answers it, or -1 */
    int32_t mask_ret;     /* 0 when egress holds the port's mask, else -1 */
    uint8_t egress[16];   /* the port's mask, as KEL_GET_PORT_MASK gives it */
} kel_x_port_t;

typedef struct kel_x_counters {
    int32_t port;
    int32_t ret; /* 0, or -1: the counters could not be read */
    kelf_stat_cnt_t counters;
} kel_x_counters_t;

typedef struct kel_x_lbg {
    int32_t number;
    int32_t ret;        /* 0, or -1: its bins could not be read */
    int32_t bins;       /* the number of bins */
    int32_t port_count; /* ports[] entries; 0 when no list of up to 32 ports
                         * filled round-robin gives the bins */
    int32_t ports[32];  /* the shortest list that gives the bins */
    int32_t map[256];   /* the port of each of the first 256 bins */
    char label[KEL_X_LABEL_MAX];
} kel_x_lbg_t;

typedef struct kel_x_mirror {
    int32_t number;
    int32_t port;
    int32_t type;
    int32_t vlan;       /* the copies' VLAN; -1 keeps the frame's */
    int32_t rules;      /* 1 when rules may copy frames to it */
    int32_t port_count; /* monitored ports, all of them */
    int32_t ports[KEL_MAX_PORTS + 1];
    char label[KEL_X_LABEL_MAX];
} kel_x_mirror_t;

/* A multicast group; listener_count kel_x_listener records follow it, so
 * its length is sizeof(kel_x_mcast_t) + listener_count * 8. */
typedef struct kel_x_mcast {
    int32_t number;
    int32_t port; /* its logical port, -1 when it cannot be read */
    uint32_t listener_count;
    char label[KEL_X_LABEL_MAX];
} kel_x_mcast_t;

typedef struct kel_x_listener {
    int32_t port;
    int32_t vlan;
} kel_x_listener_t;

typedef struct kel_x_unit {
    int32_t cfg; /* as KEL_GET_CFG answers it */
    int32_t sw_remain;
    int32_t l2_ret; /* 0 when l2 holds the L2 hash settings */
    int32_t l3_ret;
    kel_l2_hash_t l2;
    kel_l3_hash_t l3;
    int32_t rules[KEL_MAX_GROUPS]; /* the rules each group holds */
} kel_x_unit_t;

typedef struct kel_x_label {
    uint32_t kel_cmd; /* KEL_X_LABEL */
    int32_t unit;
    int32_t kind;   /* KEL_X_LABEL_* */
    int32_t number; /* the rule's group, or the object's number */
    int32_t rule_id;
    char label[KEL_X_LABEL_MAX]; /* "" takes the label away */
} kel_x_label_t;

#pragma pack(pop)

#ifdef __cplusplus
#define KEL_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define KEL_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#define KEL_CHECK_SIZE(t, n) KEL_STATIC_ASSERT(sizeof(t) == (n), #t " must be " #n " bytes")
#define KEL_CHECK_OFF(t, f, n) \
    KEL_STATIC_ASSERT(offsetof(t, f) == (n), #t "." #f " must be at offset " #n)

KEL_CHECK_SIZE(if_kel_t, 9428);
KEL_CHECK_SIZE(kel_mem_t, 222);
KEL_CHECK_SIZE(kel_udf_t, 14);
KEL_CHECK_SIZE(kel_mac_t, 8);
KEL_CHECK_SIZE(kel_ip6_t, 18);
KEL_CHECK_SIZE(kel_query_list_t, 8200);
KEL_CHECK_SIZE(kel_id_list_t, 8196);
KEL_CHECK_SIZE(kel_rule_stat_cnt_t, 8);
KEL_CHECK_SIZE(kel_rule_stat_t, 12);
KEL_CHECK_SIZE(kel_vlan_stat_cnt_t, 24);
KEL_CHECK_SIZE(kel_vlan_stat_t, 28);
KEL_CHECK_SIZE(kelb_stat_cnt_t, 40);
KEL_CHECK_SIZE(kelf_stat_cnt_t, 816);
KEL_CHECK_SIZE(kelf_prio_stat_cnt_t, 128);
KEL_CHECK_SIZE(kel_stat_cnt_t, 816);
KEL_CHECK_SIZE(kel_stat_t, 820);
KEL_CHECK_SIZE(kel_l2_hash_t, 44);
KEL_CHECK_SIZE(kel_l3_hash_t, 50);
KEL_CHECK_SIZE(if_kel_lbg_t, 152);
KEL_CHECK_SIZE(kel_lbg_query_list_t, 136);
KEL_CHECK_SIZE(kel_lbg_list_t, 132);
KEL_CHECK_SIZE(if_kel_mask_t, 44);
KEL_CHECK_SIZE(kel_mask_t, 36);
KEL_CHECK_SIZE(kel_query_rule_t, 226);

KEL_CHECK_OFF(if_kel_t, unit, 4);
KEL_CHECK_OFF(if_kel_t, cfg, 8);
KEL_CHECK_OFF(if_kel_t, kel_mem, 12);
KEL_CHECK_OFF(if_kel_t, if_index, 234);
KEL_CHECK_OFF(if_kel_t, rule_id, 238);
KEL_CHECK_OFF(if_kel_t, group, 242);
KEL_CHECK_OFF(if_kel_t, port, 246);
KEL_CHECK_OFF(if_kel_t, mask, 250);
KEL_CHECK_OFF(if_kel_t, kel_query_list, 254);
KEL_CHECK_OFF(if_kel_t, kel_query_list.kel_id_list.id_list, 258);
KEL_CHECK_OFF(if_kel_t, kel_query_list.ret, 8450);
KEL_CHECK_OFF(if_kel_t, kel_rule_stat, 8454);
KEL_CHECK_OFF(if_kel_t, kel_rule_stat.ret_val, 8462);
KEL_CHECK_OFF(if_kel_t, kel_vlan_stat, 8466);
KEL_CHECK_OFF(if_kel_t, kel_stat, 8494);
KEL_CHECK_OFF(if_kel_t, kel_stat.ret_val, 9310);
KEL_CHECK_OFF(if_kel_t, l2_hash, 9314);
KEL_CHECK_OFF(if_kel_t, l3_hash, 9358);
KEL_CHECK_OFF(if_kel_t, action, 9408);
KEL_CHECK_OFF(if_kel_t, phy_addr, 9412);
KEL_CHECK_OFF(if_kel_t, addr, 9416);
KEL_CHECK_OFF(if_kel_t, dev, 9420);
KEL_CHECK_OFF(if_kel_t, val, 9424);
KEL_CHECK_OFF(if_kel_t, kel_mem.src_mac, 130);
KEL_CHECK_OFF(if_kel_t, kel_mem.user_act, 230);

KEL_CHECK_OFF(kel_mem_t, mirror_port, 76);
KEL_CHECK_OFF(kel_mem_t, mpls_header, 84);
KEL_CHECK_OFF(kel_mem_t, mpls_header_mask, 92);
KEL_CHECK_OFF(kel_mem_t, ether_type, 100);
KEL_CHECK_OFF(kel_mem_t, kel_udf, 104);
KEL_CHECK_OFF(kel_mem_t, src_mac, 118);
KEL_CHECK_OFF(kel_mem_t, dst_mac, 126);
KEL_CHECK_OFF(kel_mem_t, src_ip6, 134);
KEL_CHECK_OFF(kel_mem_t, dst_ip6, 152);
KEL_CHECK_OFF(kel_mem_t, src_ip6_mask, 170);
KEL_CHECK_OFF(kel_mem_t, dst_ip6_mask, 188);
KEL_CHECK_OFF(kel_mem_t, vlan_act, 206);
KEL_CHECK_OFF(kel_mem_t, user_act, 218);
KEL_CHECK_OFF(kel_udf_t, offset, 2);
KEL_CHECK_OFF(kel_udf_t, mask, 10);
KEL_CHECK_OFF(kel_mac_t, mac, 2);
KEL_CHECK_OFF(kel_ip6_t, ip, 2);

KEL_CHECK_OFF(kelf_stat_cnt_t, cntRxGoodOctets, 264);
KEL_CHECK_OFF(kelf_stat_cnt_t, cntTxUcstPkts, 320);
KEL_CHECK_OFF(kelf_stat_cnt_t, cntStatsDropCountRx, 808);
KEL_CHECK_OFF(kel_stat_t, ret_val, 816);

/* KEL_STAT_COUNTERS names every counter, each at its place in the record. */
#define KEL_STAT_INDEX(name) KEL_STAT_INDEX_##name,
enum kel_stat_index { KEL_STAT_COUNTERS(KEL_STAT_INDEX) KEL_STAT_COUNT };
#undef KEL_STAT_INDEX
KEL_STATIC_ASSERT(KEL_STAT_COUNT * 8 == sizeof(kelf_stat_cnt_t),
                  "KEL_STAT_COUNTERS names every counter");
#define KEL_STAT_PLACE(name)                                                        \
    KEL_STATIC_ASSERT(offsetof(kelf_stat_cnt_t, name) == 8 * KEL_STAT_INDEX_##name, \
                      #name " in wire order");
KEL_STAT_COUNTERS(KEL_STAT_PLACE)
#undef KEL_STAT_PLACE

KEL_CHECK_OFF(kel_l2_hash_t, src_mac_mask, 8);
KEL_CHECK_OFF(kel_l2_hash_t, dst_mac_mask, 14);
KEL_CHECK_OFF(kel_l2_hash_t, ether_type_mask, 20);
KEL_CHECK_OFF(kel_l2_hash_t, sym_mac, 40);
KEL_CHECK_OFF(kel_l3_hash_t, flow_mask, 40);
KEL_CHECK_OFF(kel_l3_hash_t, sym_l3_fields, 44);
KEL_CHECK_OFF(kel_l3_hash_t, random_only, 49);

KEL_CHECK_OFF(if_kel_lbg_t, kel_query_list, 8);
KEL_CHECK_OFF(if_kel_lbg_t, kel_query_list.kel_lbg_list.lbg_list, 12);
KEL_CHECK_OFF(if_kel_lbg_t, kel_query_list.ret, 140);
KEL_CHECK_OFF(if_kel_lbg_t, lbg, 144);
KEL_CHECK_OFF(if_kel_lbg_t, port, 148);

KEL_CHECK_OFF(if_kel_mask_t, mask, 8);
KEL_CHECK_OFF(if_kel_mask_t, mask.egress, 24);
KEL_CHECK_OFF(if_kel_mask_t, mask.ret_val, 40);
KEL_CHECK_OFF(kel_query_rule_t, ret, 222);

KEL_CHECK_SIZE(kel_x_hello_t, 12);
KEL_CHECK_SIZE(kel_x_hello_reply_t, 52);
KEL_CHECK_SIZE(kel_x_envelope_t, 8);
KEL_CHECK_SIZE(kel_x_begin_t, 12);
KEL_CHECK_SIZE(kel_x_token_t, 8);
KEL_CHECK_SIZE(kel_x_auto_ids_t, 132);
KEL_CHECK_SIZE(kel_x_read_t, 24);
KEL_CHECK_SIZE(kel_x_list_t, 24);
KEL_CHECK_SIZE(kel_x_rule_t, 326);
KEL_CHECK_SIZE(kel_x_port_t, 56);
KEL_CHECK_SIZE(kel_x_mcast_t, 76);
KEL_CHECK_SIZE(kel_x_label_t, 84);
KEL_CHECK_OFF(kel_x_hello_reply_t, daemon, 16);
KEL_CHECK_OFF(kel_x_hello_reply_t, ret, 48);
KEL_STATIC_ASSERT(KEL_X_FIRST > KEL_CMD_MAX, "the extension block lies above every code");
KEL_STATIC_ASSERT(KEL_X_LAST - KEL_X_FIRST < 64, "a hello names the block in 64 bits");

#ifdef __cplusplus
}
#endif

#endif /* KEL_LIB_H */

/*
 * fm_diag.h - port self-test (BIST) submodes and diagnostic dumps. C and C++.
 */
#ifndef FM_DIAG_H
#define FM_DIAG_H

#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Submodes of fmSetPortState with FM_PORT_STATE_BIST: the port sends (TX)
 * or checks (RX) a pseudo-random pattern whose period the name gives. Each
 * receive submode is its transmit submode plus 20.
 */
typedef enum _fm_portSubmode {
    FM_PORT_SUBMODE_NONE = 0,
    FM_BIST_TX_PRBS_512B = 1,
    FM_BIST_TX_PRBS_128 = 9,
    FM_BIST_TX_PRBS_32K = 10,
    FM_BIST_TX_PRBS_8M = 11,
    FM_BIST_TX_PRBS_2G = 12,
    FM_BIST_TX_PRBS_2048 = 13,
    FM_BIST_RX_PRBS_512B = 21,
    FM_BIST_RX_PRBS_128 = 29,
    FM_BIST_RX_PRBS_32K = 30,
    FM_BIST_RX_PRBS_8M = 31,
    FM_BIST_RX_PRBS_2G = 32,
    FM_BIST_RX_PRBS_2048 = 33
} fm_portSubmode;

/* Offset from a transmit pattern submode to its receive submode. */
#define FM_BIST_RX_OFFSET 20

/*
 * The four info words of fmGetPortState: the submode of the port's mode,
 * its loopback mode, its Ethernet interface mode and its speed in Mb/s.
 */
#define FM_PORT_INFO_SUBMODE 0
#define FM_PORT_INFO_LOOPBACK 1
#define FM_PORT_INFO_ETH_MODE 2
#define FM_PORT_INFO_SPEED 3
#define FM_PORT_INFO_WORDS 4

/* Print the switch's egress scheduler, or one port's attributes, to
 * standard output. */
fm_status fmDbgDumpScheduler(fm_int sw);
fm_status fmDbgDumpPortAttributes(fm_int sw, fm_int port);

#ifdef __cplusplus
}
#endif

#endif /* FM_DIAG_H */

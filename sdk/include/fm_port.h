/*
 * fm_port.h - ports of a switch: the cardinal list, states and attributes.
 * C and C++.
 */
#ifndef FM_PORT_H
#define FM_PORT_H

#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Port modes of fmSetPortState. */
#define FM_PORT_STATE_UP 0
#define FM_PORT_STATE_ADMIN_DOWN 1
#define FM_PORT_STATE_ADMIN_PWRDOWN 2
#define FM_PORT_STATE_BIST 3
#define FM_PORT_STATE_DOWN 4

/* Port attributes. The value's type is given beside each. */
#define FM_PORT_DEF_VLAN 1                     /* fm_uint32 */
#define FM_PORT_MAX_FRAME_SIZE 10              /* fm_int */
#define FM_PORT_RX_PAUSE 12                    /* fm_bool */
#define FM_PORT_ISL_TAG_FORMAT 20              /* fm_int: FM_ISL_TAG_* */
#define FM_PORT_SPEED 25                       /* fm_int (Mb/s) */
#define FM_PORT_TXVPRI 30                      /* fm_bool */
#define FM_PORT_LOOPBACK 38                    /* fm_int, V2 calls */
#define FM_PORT_MASK_WIDE 45                   /* fm_bitArray */
#define FM_PORT_PARSER 57                      /* fm_uint32 */
#define FM_PORT_UPDATE_TTL 83                  /* fm_bool */
#define FM_PORT_LOOPBACK_SUPPRESSION 99        /* fm_int */
#define FM_PORT_ETHERNET_INTERFACE_MODE 124    /* fm_int: fm_ethMode */
#define FM_PORT_ROUTED_FRAME_UPDATE_FIELDS 169 /* fm_uint32 */

/* The values a port attribute holds; a set outside them answers
 * FM_ERR_INVALID_VALUE and changes nothing.
 * FM_PORT_PARSER: how deep the switch parses a port's frames, 0 (the
 * outermost headers) to FM_PORT_PARSER_DEEPEST, each step one layer more. */
#define FM_PORT_PARSER_DEEPEST 2
/* FM_PORT_ROUTED_FRAME_UPDATE_FIELDS: one bit per header field the switch
 * may rewrite in a routed frame, 16 fields in bits 0 to 15. */
#define FM_PORT_ROUTED_FRAME_UPDATE_ALL 0xFFFFu

/* ISL tag formats. */
#define FM_ISL_TAG_NONE 0
#define FM_ISL_TAG_F32 1
#define FM_ISL_TAG_F56 2
#define FM_ISL_TAG_F64 3

/* Ethernet interface modes. */
typedef enum {
    FM_ETH_MODE_DISABLED = 0,
    FM_ETH_MODE_SGMII = 1,
    FM_ETH_MODE_1000BASE_X = 2,
    FM_ETH_MODE_10GBASE_SR = 6,
    FM_ETH_MODE_25GBASE_SR = 11,
    FM_ETH_MODE_40GBASE_SR4 = 15,
    FM_ETH_MODE_100GBASE_SR4 = 20
} fm_ethMode;

/* Maps index cpi of the cardinal port list to a logical port. */
fm_status fmMapCardinalPort(fm_int sw, fm_int cpi, fm_int *logPort, fm_int *physPort);
fm_status fmIsPciePort(fm_int sw, fm_int port, fm_bool *isPciePort);
fm_status fmGetStackGlort(fm_int sw, fm_int port, fm_uint32 *glort);

fm_status fmSetPortState(fm_int sw, fm_int port, fm_int mode, fm_int subMode);
fm_status fmGetPortState(fm_int sw, fm_int port, fm_int *mode, fm_int *state, fm_int *info);

fm_status fmSetPortAttribute(fm_int sw, fm_int port, fm_int attr, void *value);
fm_status fmGetPortAttribute(fm_int sw, fm_int port, fm_int attr, void *value);
fm_status fmSetPortAttributeV2(fm_int sw, fm_int port, fm_int mac, fm_int lane, fm_int attr,
                               void *value);
fm_status fmGetPortAttributeV2(fm_int sw, fm_int port, fm_int mac, fm_int lane, fm_int attr,
                               void *value);

#ifdef __cplusplus
}
#endif

#endif /* FM_PORT_H */

/*
 * fm_lbg.h - load-balancing groups. C and C++.
 *
 * A group spreads frames over ports. In mapped mode it has a number of bins,
 * each bin naming the port that takes the frames hashed into it.
 */
#ifndef FM_LBG_H
#define FM_LBG_H

#include "fm_bitarray.h"
#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A switch holds at most this many groups, numbered from 0. */
#define FM_MAX_LBGS 64
/* Most bins a mapped group can have. */
#define FM_LBG_MAX_BINS 4096

typedef enum { FM_LBG_MODE_HASH = 0, FM_LBG_MODE_REDIRECT = 1, FM_LBG_MODE_MAPPED = 2 } fm_LBGMode;

/* Creation parameters; numberOfBins counts in mapped mode only. */
typedef struct _fm_LBGParams {
    fm_int numberOfBins;
    fm_LBGMode mode;
} fm_LBGParams;

/* Bins firstBin .. firstBin+numberOfBins-1 and their ports, ports[0] for firstBin. */
typedef struct _fm_LBGDistributionMapRange {
    fm_int firstBin;
    fm_int numberOfBins;
    fm_int *ports;
} fm_LBGDistributionMapRange;

/* Group attributes. The value's type is given beside each. */
#define FM_LBG_STATE 1                  /* fm_uint32: FM_LBG_STATE_* */
#define FM_LBG_DISTRIBUTION_MAP_RANGE 2 /* fm_LBGDistributionMapRange; the SDK copies the ports */
#define FM_LBG_GROUP_MODE 3             /* fm_LBGMode, read only */

#define FM_LBG_STATE_ACTIVE 0
#define FM_LBG_STATE_INACTIVE 1

/* A bin that no port takes yet. */
#define FM_LBG_NO_PORT (-1)

/* Creates a group; the SDK chooses its number. The group starts inactive. */
fm_status fmCreateLBGExt(fm_int sw, fm_int *lbgNumber, fm_LBGParams *params);
fm_status fmDeleteLBG(fm_int sw, fm_int lbgNumber);
fm_status fmSetLBGAttribute(fm_int sw, fm_int lbgNumber, fm_int attr, void *value);
/* For FM_LBG_DISTRIBUTION_MAP_RANGE the caller gives the range and the ports array. */
fm_status fmGetLBGAttribute(fm_int sw, fm_int lbgNumber, fm_int attr, void *value);
/*
 * Writes the numbers of at most maxLbgs groups, ascending, into lbgList and
 * how many it wrote into *numLbgs.
 */
fm_status fmGetLBGList(fm_int sw, fm_int *numLbgs, fm_int *lbgList, fm_int maxLbgs);

#ifdef __cplusplus
}
#endif

#endif /* FM_LBG_H */

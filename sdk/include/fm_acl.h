/*
 * fm_acl.h - ACLs and their rules; port sets. C and C++.
 */
#ifndef FM_ACL_H
#define FM_ACL_H

#include "fm_types.h"
#include "fm_bitarray.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* FM_ACL_H */

/*
 * fm_os.h - SDK operating-system services: start, semaphores. C and C++.
 */
#ifndef FM_OS_H
#define FM_OS_H

#include "fm_types.h"
#include "fm_bitarray.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* FM_OS_H */

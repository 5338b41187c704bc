/*
 * fm_os.h - SDK operating-system services: start, semaphores. C and C++.
 * fmOSInitialize itself is declared with the SDK start in fm_switch.h.
 */
#ifndef FM_OS_H
#define FM_OS_H

#include "fm_bitarray.h"
#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A span of time: seconds and microseconds. */
typedef struct _fm_timestamp {
    fm_uint64 sec;
    fm_uint64 usec;
} fm_timestamp;

/* Semaphore kinds: a binary one holds at most one release. */
typedef enum { FM_SEM_BINARY = 0, FM_SEM_COUNTING = 1 } fm_semType;

/* A semaphore as the SDK hands it out; the members belong to the SDK. */
typedef struct _fm_semaphore {
    fm_uint64 handle;
    fm_int semType;
} fm_semaphore;

/* Waits for ever when given as the time-out of fmCaptureSemaphore. */
#define FM_WAIT_FOREVER ((fm_timestamp *)0)

/* Creates a semaphore holding `initial` releases; the SDK needs fmOSInitialize first. */
fm_status fmCreateSemaphore(fm_text *semName, fm_semType semType, fm_semaphore *semHandle,
                            fm_int initial);
fm_status fmDeleteSemaphore(fm_semaphore *semHandle);
/* Takes one release, waiting at most *timeout (for ever when timeout is
 * FM_WAIT_FOREVER); FM_ERR_SEM_TIMEOUT when none came in time. */
fm_status fmCaptureSemaphore(fm_semaphore *semHandle, fm_timestamp *timeout);
fm_status fmReleaseSemaphore(fm_semaphore *semHandle);

#ifdef __cplusplus
}
#endif

#endif /* FM_OS_H */

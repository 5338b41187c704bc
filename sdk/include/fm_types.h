/*
 * fm_types.h - basic types, status codes and logging of the switch SDK.
 * C and C++.
 */
#ifndef FM_TYPES_H
#define FM_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t fm_int;
typedef uint32_t fm_uint;
typedef int32_t fm_int32;
typedef uint32_t fm_uint32;
typedef int16_t fm_int16;
typedef uint16_t fm_uint16;
typedef uint8_t fm_byte;
typedef uint8_t fm_uint8;
typedef int64_t fm_int64;
typedef uint64_t fm_uint64;
typedef int fm_bool;
typedef void *fm_voidptr;
typedef char fm_char;
typedef const char fm_text;
typedef uint8_t fm_macaddr_bytes[6];
typedef uint64_t fm_macaddr;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define FM_ENABLED TRUE
#define FM_DISABLED FALSE

/* Every operation returns a status: 0 is success, anything else failure. */
typedef fm_int fm_status;

enum {
    FM_OK = 0,
    FM_FAIL = 1,
    FM_ERR_INVALID_ARGUMENT = 2,
    FM_ERR_INVALID_SWITCH = 3,
    FM_ERR_INVALID_PORT = 4,
    FM_ERR_INVALID_ATTRIB = 5,
    FM_ERR_NO_MEM = 6,
    FM_ERR_UNSUPPORTED = 7,
    FM_ERR_INVALID_VLAN = 8,
    FM_ERR_INVALID_ACL = 9,
    FM_ERR_INVALID_ACL_RULE = 10,
    FM_ERR_ALREADY_EXISTS = 11,
    FM_ERR_NOT_FOUND = 12,
    FM_ERR_NO_MORE = 13,
    FM_ERR_TABLE_FULL = 14,
    FM_ERR_INVALID_LBG = 15,
    FM_ERR_INVALID_MIRROR = 16,
    FM_ERR_INVALID_MULTICAST_GROUP = 17,
    FM_ERR_MCAST_GROUP_ACTIVE = 18,
    FM_ERR_SWITCH_NOT_UP = 19,
    FM_ERR_SEM_TIMEOUT = 20,
    FM_ERR_INVALID_TRIGGER = 21,
    FM_ERR_ACL_COMPILE = 22,
    FM_ERR_INVALID_PORT_SET = 23,
    FM_ERR_INVALID_INDEX = 24,
    FM_ERR_UNINITIALIZED = 25,
    FM_ERR_INVALID_STATE = 26,
    FM_ERR_PLATFORM = 27,
    FM_ERR_BUFFER_FULL = 28,
    FM_ERR_INVALID_VALUE = 29,
    FM_ERR_STATUS_LAST = 30
};

/* A printable text for a status; never NULL. */
const char *fmErrorMsg(fm_status status);

/* Log categories: all of them. */
#define FM_LOG_CAT_ALL ((fm_uint64)-1)

/*
 * Writes one log line to standard output and flushes it: the caller's
 * position, its function and the formatted message.
 */
fm_status fmLogMessage(fm_uint64 categories, fm_uint64 level, const char *srcFile,
                       const char *srcFunction, fm_uint32 srcLine, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 6, 7)))
#endif
    ;

/* Clears (sets) n bytes at dest; refuses when n exceeds destSize. */
fm_status fmMemset_s(void *dest, fm_uint64 destSize, fm_int c, fm_uint64 n);

#ifdef __cplusplus
}
#endif

#endif /* FM_TYPES_H */

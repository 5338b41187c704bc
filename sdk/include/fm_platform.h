/*
 * fm_platform.h - the platform hardware around the switch chip. C and C++.
 */
#ifndef FM_PLATFORM_H
#define FM_PLATFORM_H

#include "fm_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* GPIO line directions. */
typedef enum {
    FM_PLAT_GPIO_DIR_INPUT = 0,
    FM_PLAT_GPIO_DIR_OUTPUT = 1,
    FM_PLAT_GPIO_DIR_OPEN_DRAIN = 2
} fm_platGpioDirection;

#define FM_PLAT_NUM_GPIO 32

/* Sets a GPIO line's direction; an output is driven to value. */
fm_status fmPlatformGpioSetDirection(fm_int sw, fm_int gpio, fm_platGpioDirection direction,
                                     fm_int value);
fm_status fmPlatformGpioGetDirection(fm_int sw, fm_int gpio, fm_platGpioDirection *direction);
fm_status fmPlatformGpioSetValue(fm_int sw, fm_int gpio, fm_int value);
fm_status fmPlatformGpioGetValue(fm_int sw, fm_int gpio, fm_int *value);

#ifdef __cplusplus
}
#endif

#endif /* FM_PLATFORM_H */

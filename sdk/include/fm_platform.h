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

/*
 * MDIO: 16-bit PHY registers, addressed by bus, PHY (0..31), device
 * (0..31) and register (0..65535).
 */
#define FM_PLAT_NUM_MDIO_BUS 4
#define FM_PLAT_MDIO_MAX_PHY 31
#define FM_PLAT_MDIO_MAX_DEV 31
#define FM_PLAT_MDIO_MAX_REG 0xFFFF

fm_status fmPlatformMdioRead(fm_int sw, fm_int bus, fm_int phy, fm_int dev, fm_int reg,
                             fm_uint16 *value);
fm_status fmPlatformMdioWrite(fm_int sw, fm_int bus, fm_int phy, fm_int dev, fm_int reg,
                              fm_uint16 value);

/*
 * Byte devices on the switch's management buses: the bypass controller and
 * the two temperature sensors. A transfer first writes writeLength bytes
 * from data to the device at the bus address device (0..127), then reads
 * readLength bytes from it into the start of data; either length may be 0.
 * The first byte written selects the device register that the following
 * bytes, and the next read, start at; the register moves on by one per
 * byte and wraps after FM_PLAT_I2C_REGS. data must hold the larger length.
 */
#define FM_PLAT_I2C_MAX_ADDR 127
#define FM_PLAT_I2C_REGS 256

fm_status fmPlatformFm10000BypassWriteRead(fm_int sw, fm_int device, fm_byte *data,
                                           fm_int writeLength, fm_int readLength);
fm_status fmPlatformFm10000TempWriteRead(fm_int sw, fm_int device, fm_byte *data,
                                         fm_int writeLength, fm_int readLength);
fm_status fmPlatformFm10000Temp1WriteRead(fm_int sw, fm_int device, fm_byte *data,
                                          fm_int writeLength, fm_int readLength);

/*
 * Switch registers (CSRs), 32 bits wide, at word addresses up to
 * FM_PLAT_CSR_MAX_ADDR, read and written without the SDK's register lock.
 */
#define FM_PLAT_CSR_MAX_ADDR 0xFFFFFF

fm_status fmPlatformReadUnlockCSR(fm_int sw, fm_uint32 addr, fm_uint32 *value);
fm_status fmPlatformWriteUnlockCSR(fm_int sw, fm_uint32 addr, fm_uint32 value);

/*
 * Transceiver memory: per transceiver (0..FM_PLAT_NUM_XCVR-1) and bus
 * device (0..255), FM_PLAT_XCVR_MEM_SIZE bytes at offsets from 0; a
 * transfer must end inside them. The receive side of a transceiver has a
 * memory of its own, reached through the Rx operations.
 */
#define FM_PLAT_NUM_XCVR 64
#define FM_PLAT_XCVR_MAX_DEV 255
#define FM_PLAT_XCVR_MEM_SIZE 256

fm_status fmPlatformXcvrMemRead(fm_int sw, fm_int xcvr, fm_int device, fm_int offset, fm_byte *data,
                                fm_int length);
fm_status fmPlatformXcvrMemWrite(fm_int sw, fm_int xcvr, fm_int device, fm_int offset,
                                 fm_byte *data, fm_int length);
fm_status fmPlatformXcvrRxMemRead(fm_int sw, fm_int xcvr, fm_int device, fm_int offset,
                                  fm_byte *data, fm_int length);
fm_status fmPlatformXcvrRxMemWrite(fm_int sw, fm_int xcvr, fm_int device, fm_int offset,
                                   fm_byte *data, fm_int length);

#ifdef __cplusplus
}
#endif

#endif /* FM_PLATFORM_H */

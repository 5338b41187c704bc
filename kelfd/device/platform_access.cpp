// platform_access.cpp - platform hardware commands: the request's fields go
// to the SDK's platform operations and what comes back goes to the client.
#include "device/platform_access.h"

#include <cstddef>

#include "daemon.h"
#include "fm_sdk.h"
#include "messages.h"
#include "sdk_util.h"

namespace {

// The MDIO bus that the PHYs hang on.
constexpr fm_int kMdioBus = 1;

// Runs op(buffer, count) on a block request of an inserted unit. The count
// comes from the client: one beyond the buffer would let the platform read
// or write past it, so it is refused like an absent unit.
template <typename Op>
int block(int unit, kel_query_list_t *q, Op op) {
    if (!kelf::unit_inserted(unit)) return -1;
    std::uint32_t count = q->kel_id_list.rule_num;
    if (count > KEL_QUERY_DATA_MAX) return -1;
    auto *data = reinterpret_cast<fm_byte *>(q) + offsetof(kel_query_list_t, kel_id_list.id_list);
    return op(data, static_cast<fm_int>(count));
}

}  // namespace

int kel_read_phy_fn(int unit, int phy_addr, int dev, int addr) {
    fm_uint16 data = 0;
    fm_status st = fmPlatformMdioRead(unit, kMdioBus, phy_addr, dev, addr, &data);
    // Register values are 0..65535, so -1 tells the client the read failed.
    if (st != FM_OK) {
        cleanup(st, kelf::msg::kGetMdioRead);
        return -1;
    }
    return data;
}

int kel_write_phy_fn(int unit, int phy_addr, int dev, int addr, int val) {
    fm_status st =
        fmPlatformMdioWrite(unit, kMdioBus, phy_addr, dev, addr, static_cast<fm_uint16>(val));
    cleanup(st, kelf::msg::kGetMdioWrite);
    return st;
}

int kel_get_gpio_dir_fn(int unit, int gpio) {
    fm_platGpioDirection dir = FM_PLAT_GPIO_DIR_INPUT;
    if (fmPlatformGpioGetDirection(unit, gpio, &dir) != FM_OK) return -1;
    return dir;
}

int kel_set_gpio_dir_fn(int unit, int gpio, int direction, int value) {
    // A number that names no direction cannot even be passed as one; the
    // platform would refuse it with the same status.
    if (direction < FM_PLAT_GPIO_DIR_INPUT || direction > FM_PLAT_GPIO_DIR_OPEN_DRAIN)
        return FM_ERR_INVALID_ARGUMENT;
    return fmPlatformGpioSetDirection(unit, gpio, static_cast<fm_platGpioDirection>(direction),
                                      value);
}

int kel_get_gpio_fn(int unit, int gpio) {
    fm_int value = 0;
    if (fmPlatformGpioGetValue(unit, gpio, &value) != FM_OK) return -1;
    return value;
}

int kel_set_gpio_fn(int unit, int gpio, int value) {
    return fmPlatformGpioSetValue(unit, gpio, value);
}

int kel_get_reg_fn(int unit, int addr, kel_rule_stat_t *reg) {
    fm_uint32 data = 0;
    fm_status st = fmPlatformReadUnlockCSR(unit, static_cast<fm_uint32>(addr), &data);
    reg->ret_val = st == FM_OK ? 0 : -1;
    reg->kel_rule_stat_cnt.counter = data;  // widened without sign
    return reg->ret_val;
}

int kel_set_reg_fn(int unit, int addr, int val) {
    return fmPlatformWriteUnlockCSR(unit, static_cast<fm_uint32>(addr),
                                    static_cast<fm_uint32>(val));
}

int kel_bp_read_fn(int unit, int dev, kel_query_list_t *q) {
    return block(unit, q, [&](fm_byte *d, fm_int n) {
        return fmPlatformFm10000BypassWriteRead(unit, dev, d, 0, n);
    });
}

int kel_bp_write_fn(int unit, int dev, kel_query_list_t *q) {
    return block(unit, q, [&](fm_byte *d, fm_int n) {
        return fmPlatformFm10000BypassWriteRead(unit, dev, d, n, 0);
    });
}

int kel_temp_read_fn(int unit, int dev, kel_query_list_t *q) {
    return block(unit, q, [&](fm_byte *d, fm_int n) {
        return fmPlatformFm10000TempWriteRead(unit, dev, d, 0, n);
    });
}

int kel_temp_write_fn(int unit, int dev, kel_query_list_t *q) {
    return block(unit, q, [&](fm_byte *d, fm_int n) {
        return fmPlatformFm10000TempWriteRead(unit, dev, d, n, 0);
    });
}

int kel_temp1_read_fn(int unit, int dev, kel_query_list_t *q) {
    return block(unit, q, [&](fm_byte *d, fm_int n) {
        return fmPlatformFm10000Temp1WriteRead(unit, dev, d, 0, n);
    });
}

int kel_temp1_write_fn(int unit, int dev, kel_query_list_t *q) {
    return block(unit, q, [&](fm_byte *d, fm_int n) {
        return fmPlatformFm10000Temp1WriteRead(unit, dev, d, n, 0);
    });
}

int kel_fci_read_fn(int unit, int phy_addr, int dev, int addr, kel_query_list_t *q) {
    return block(unit, q, [&](fm_byte *d, fm_int n) {
        return fmPlatformXcvrMemRead(unit, phy_addr, dev, addr, d, n);
    });
}

int kel_fci_write_fn(int unit, int phy_addr, int dev, int addr, kel_query_list_t *q) {
    return block(unit, q, [&](fm_byte *d, fm_int n) {
        return fmPlatformXcvrMemWrite(unit, phy_addr, dev, addr, d, n);
    });
}

int kel_fci_rx_read_fn(int unit, int phy_addr, int dev, int addr, kel_query_list_t *q) {
    return block(unit, q, [&](fm_byte *d, fm_int n) {
        return fmPlatformXcvrRxMemRead(unit, phy_addr, dev, addr, d, n);
    });
}

int kel_fci_rx_write_fn(int unit, int phy_addr, int dev, int addr, kel_query_list_t *q) {
    return block(unit, q, [&](fm_byte *d, fm_int n) {
        return fmPlatformXcvrRxMemWrite(unit, phy_addr, dev, addr, d, n);
    });
}

// platform_access.h - raw access to the hardware around the switch chip:
// PHY registers, the bypass controller, GPIO lines, switch registers, the
// temperature sensors and transceiver memory. The daemon interprets none of
// the data.
#pragma once

#include <kelfd/kel_lib.h>

// The register value (0..65535), or -1 when the read failed.
int kel_read_phy_fn(int unit, int phy_addr, int dev, int addr);
// The write's status; only the low 16 bits of val are written.
int kel_write_phy_fn(int unit, int phy_addr, int dev, int addr, int val);

// The direction or value, or -1; the setters answer the SDK's status.
int kel_get_gpio_dir_fn(int unit, int gpio);
int kel_set_gpio_dir_fn(int unit, int gpio, int direction, int value);
int kel_get_gpio_fn(int unit, int gpio);
int kel_set_gpio_fn(int unit, int gpio, int value);

// Fills the register record (ret_val 0 or -1) and returns its ret_val.
int kel_get_reg_fn(int unit, int addr, kel_rule_stat_t *reg);
int kel_set_reg_fn(int unit, int addr, int val);

// Block commands: the request's list record holds the byte count and the
// data. Each answers -1 for a unit that is not inserted or a count beyond
// the buffer, without touching the platform, and the platform's status
// otherwise.
int kel_bp_read_fn(int unit, int dev, kel_query_list_t *block);
int kel_bp_write_fn(int unit, int dev, kel_query_list_t *block);
int kel_temp_read_fn(int unit, int dev, kel_query_list_t *block);
int kel_temp_write_fn(int unit, int dev, kel_query_list_t *block);
int kel_temp1_read_fn(int unit, int dev, kel_query_list_t *block);
int kel_temp1_write_fn(int unit, int dev, kel_query_list_t *block);
int kel_fci_read_fn(int unit, int phy_addr, int dev, int addr, kel_query_list_t *block);
int kel_fci_write_fn(int unit, int phy_addr, int dev, int addr, kel_query_list_t *block);
int kel_fci_rx_read_fn(int unit, int phy_addr, int dev, int addr, kel_query_list_t *block);
int kel_fci_rx_write_fn(int unit, int phy_addr, int dev, int addr, kel_query_list_t *block);

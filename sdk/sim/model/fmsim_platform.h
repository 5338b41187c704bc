// fmsim_platform.h - inspection of fmsim's platform hardware, for tests.
#pragma once

#include <cstdint>

// A GPIO line's direction and value (-1 for an unknown switch or line).
void fmsim_gpio_line(int sw, int gpio, int *direction, int *value);
// Sets the level that the outside world drives on an input line.
void fmsim_gpio_drive_input(int sw, int gpio, int value);

// An MDIO register's value (0 until written), or -1 when the switch is
// unknown or an address is out of range.
int fmsim_mdio_reg(int sw, int bus, int phy, int dev, int reg);

// A switch register's value (0 until written); false when the switch is
// unknown or the address out of range.
bool fmsim_csr(int sw, std::uint32_t addr, std::uint32_t *value);

// The byte-device buses of the platform.
enum class FmsimI2cBus { Bypass, Temp, Temp1 };
// Degrees Celsius that a temperature sensor's register 0 holds at power-on.
inline constexpr int kFmsimTempReading = 41;
inline constexpr int kFmsimTemp1Reading = 44;

// The last transfer on a bus; device -1 when there was none since reset.
struct FmsimI2cTransfer {
    int device;
    int write_length;
    int read_length;
    std::uint64_t transfers;  // transfers on the bus since reset
};
FmsimI2cTransfer fmsim_i2c_last(int sw, FmsimI2cBus bus);
// A device register (0..255), or -1 when the switch or an address is unknown.
int fmsim_i2c_reg(int sw, FmsimI2cBus bus, int device, int reg);
// The register that a device's next transfer starts at, or -1.
int fmsim_i2c_pointer(int sw, FmsimI2cBus bus, int device);

// A byte of transceiver memory (rx: the receive side), or -1 when the
// switch or an address is unknown.
int fmsim_xcvr_byte(int sw, bool rx, int xcvr, int device, int offset);

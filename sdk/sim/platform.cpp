// platform.cpp - fmsim's hardware around the switch chip: PHY registers
// over MDIO, the byte devices on the management buses (bypass controller,
// two temperature sensors), the switch registers and transceiver memory.
#include <array>
#include <cstring>
#include <map>
#include <vector>

#include "fmsim.h"
#include "fmsim_platform.h"
#include "sim.h"

namespace {

constexpr int kBuses = 3;

struct I2cDevice {
    std::array<fm_byte, FM_PLAT_I2C_REGS> regs{};
    fm_byte pointer = 0;  // wraps with the register file
};

struct I2cBus {
    std::map<int, I2cDevice> devices;  // only those touched so far
    FmsimI2cTransfer last{-1, 0, 0, 0};
};

using XcvrMem = std::array<fm_byte, FM_PLAT_XCVR_MEM_SIZE>;

struct Platform {
    std::map<std::uint64_t, fm_uint16> mdio;
    std::map<fm_uint32, fm_uint32> csr;
    std::array<I2cBus, kBuses> i2c;
    std::array<std::map<int, XcvrMem>, 2> xcvr;  // [0] transmit side, [1] receive side
};

std::vector<Platform> &platforms() {
    static auto *p = new std::vector<Platform>;
    return *p;
}

void reset_platform() {
    platforms().assign(FM_MAX_NUM_SWITCHES, Platform{});
}

struct Init {
    Init() {
        reset_platform();
        fmsim::on_reset(reset_platform);
    }
} init;

Platform *find_platform(fm_int sw) {
    if (fmsim::find_switch(sw) == nullptr) return nullptr;
    return &platforms()[static_cast<size_t>(sw)];
}

bool mdio_key(fm_int bus, fm_int phy, fm_int dev, fm_int reg, std::uint64_t *key) {
    if (bus < 0 || bus >= FM_PLAT_NUM_MDIO_BUS || phy < 0 || phy > FM_PLAT_MDIO_MAX_PHY ||
        dev < 0 || dev > FM_PLAT_MDIO_MAX_DEV || reg < 0 || reg > FM_PLAT_MDIO_MAX_REG)
        return false;
    std::uint64_t k = static_cast<std::uint64_t>(bus);
    k = k * (FM_PLAT_MDIO_MAX_PHY + 1) + static_cast<std::uint64_t>(phy);
    k = k * (FM_PLAT_MDIO_MAX_DEV + 1) + static_cast<std::uint64_t>(dev);
    *key = (k << 16) | static_cast<std::uint64_t>(reg);
    return true;
}

// A device as the bus finds it; a temperature sensor powers up with its
// reading in register 0.
I2cDevice &i2c_device(I2cBus &bus, int which, int addr) {
    auto [it, added] = bus.devices.try_emplace(addr);
    if (added && which == static_cast<int>(FmsimI2cBus::Temp))
        it->second.regs[0] = kFmsimTempReading;
    if (added && which == static_cast<int>(FmsimI2cBus::Temp1))
        it->second.regs[0] = kFmsimTemp1Reading;
    return it->second;
}

fm_status i2c_transfer(fm_int sw, FmsimI2cBus which, fm_int addr, fm_byte *data, fm_int wlen,
                       fm_int rlen) {
    Platform *p = find_platform(sw);
    if (p == nullptr) return FM_ERR_INVALID_SWITCH;
    if (addr < 0 || addr > FM_PLAT_I2C_MAX_ADDR || wlen < 0 || rlen < 0)
        return FM_ERR_INVALID_ARGUMENT;
    if ((wlen > 0 || rlen > 0) && data == nullptr) return FM_ERR_INVALID_ARGUMENT;
    I2cBus &bus = p->i2c[static_cast<size_t>(which)];
    I2cDevice &dev = i2c_device(bus, static_cast<int>(which), addr);
    if (wlen > 0) {
        dev.pointer = data[0];
        for (fm_int i = 1; i < wlen; ++i) dev.regs[dev.pointer++] = data[i];
    }
    for (fm_int i = 0; i < rlen; ++i) data[i] = dev.regs[dev.pointer++];
    bus.last = {addr, wlen, rlen, bus.last.transfers + 1};
    return FM_OK;
}

fm_status xcvr_transfer(fm_int sw, int side, fm_int xcvr, fm_int device, fm_int offset,
                        fm_byte *data, fm_int length, bool write) {
    Platform *p = find_platform(sw);
    if (p == nullptr) return FM_ERR_INVALID_SWITCH;
    if (xcvr < 0 || xcvr >= FM_PLAT_NUM_XCVR || device < 0 || device > FM_PLAT_XCVR_MAX_DEV ||
        offset < 0 || length < 0 || offset > FM_PLAT_XCVR_MEM_SIZE - length)
        return FM_ERR_INVALID_ARGUMENT;
    if (length > 0 && data == nullptr) return FM_ERR_INVALID_ARGUMENT;
    auto &mems = p->xcvr[static_cast<size_t>(side)];
    int key = xcvr * (FM_PLAT_XCVR_MAX_DEV + 1) + device;
    auto o = static_cast<size_t>(offset);
    auto n = static_cast<size_t>(length);
    if (write) {
        if (n > 0) std::memcpy(mems[key].data() + o, data, n);
        return FM_OK;
    }
    auto it = mems.find(key);
    if (n > 0) {
        if (it == mems.end())
            std::memset(data, 0, n);
        else
            std::memcpy(data, it->second.data() + o, n);
    }
    return FM_OK;
}

}  // namespace

extern "C" {

fm_status fmPlatformMdioRead(fm_int sw, fm_int bus, fm_int phy, fm_int dev, fm_int reg,
                             fm_uint16 *value) {
    FMSIM_ENTER("fmPlatformMdioRead");
    Platform *p = find_platform(sw);
    if (p == nullptr) return FM_ERR_INVALID_SWITCH;
    std::uint64_t key;
    if (!mdio_key(bus, phy, dev, reg, &key) || value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    auto it = p->mdio.find(key);
    *value = it == p->mdio.end() ? 0 : it->second;
    return FM_OK;
}

fm_status fmPlatformMdioWrite(fm_int sw, fm_int bus, fm_int phy, fm_int dev, fm_int reg,
                              fm_uint16 value) {
    FMSIM_ENTER("fmPlatformMdioWrite");
    Platform *p = find_platform(sw);
    if (p == nullptr) return FM_ERR_INVALID_SWITCH;
    std::uint64_t key;
    if (!mdio_key(bus, phy, dev, reg, &key)) return FM_ERR_INVALID_ARGUMENT;
    p->mdio[key] = value;
    return FM_OK;
}

fm_status fmPlatformFm10000BypassWriteRead(fm_int sw, fm_int device, fm_byte *data,
                                           fm_int writeLength, fm_int readLength) {
    FMSIM_ENTER("fmPlatformFm10000BypassWriteRead");
    return i2c_transfer(sw, FmsimI2cBus::Bypass, device, data, writeLength, readLength);
}

fm_status fmPlatformFm10000TempWriteRead(fm_int sw, fm_int device, fm_byte *data,
                                         fm_int writeLength, fm_int readLength) {
    FMSIM_ENTER("fmPlatformFm10000TempWriteRead");
    return i2c_transfer(sw, FmsimI2cBus::Temp, device, data, writeLength, readLength);
}

fm_status fmPlatformFm10000Temp1WriteRead(fm_int sw, fm_int device, fm_byte *data,
                                          fm_int writeLength, fm_int readLength) {
    FMSIM_ENTER("fmPlatformFm10000Temp1WriteRead");
    return i2c_transfer(sw, FmsimI2cBus::Temp1, device, data, writeLength, readLength);
}

fm_status fmPlatformReadUnlockCSR(fm_int sw, fm_uint32 addr, fm_uint32 *value) {
    FMSIM_ENTER("fmPlatformReadUnlockCSR");
    Platform *p = find_platform(sw);
    if (p == nullptr) return FM_ERR_INVALID_SWITCH;
    if (addr > FM_PLAT_CSR_MAX_ADDR || value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    auto it = p->csr.find(addr);
    *value = it == p->csr.end() ? 0 : it->second;
    return FM_OK;
}

fm_status fmPlatformWriteUnlockCSR(fm_int sw, fm_uint32 addr, fm_uint32 value) {
    FMSIM_ENTER("fmPlatformWriteUnlockCSR");
    Platform *p = find_platform(sw);
    if (p == nullptr) return FM_ERR_INVALID_SWITCH;
    if (addr > FM_PLAT_CSR_MAX_ADDR) return FM_ERR_INVALID_ARGUMENT;
    p->csr[addr] = value;
    return FM_OK;
}

fm_status fmPlatformXcvrMemRead(fm_int sw, fm_int xcvr, fm_int device, fm_int offset, fm_byte *data,
                                fm_int length) {
    FMSIM_ENTER("fmPlatformXcvrMemRead");
    return xcvr_transfer(sw, 0, xcvr, device, offset, data, length, false);
}

fm_status fmPlatformXcvrMemWrite(fm_int sw, fm_int xcvr, fm_int device, fm_int offset,
                                 fm_byte *data, fm_int length) {
    FMSIM_ENTER("fmPlatformXcvrMemWrite");
    return xcvr_transfer(sw, 0, xcvr, device, offset, data, length, true);
}

fm_status fmPlatformXcvrRxMemRead(fm_int sw, fm_int xcvr, fm_int device, fm_int offset,
                                  fm_byte *data, fm_int length) {
    FMSIM_ENTER("fmPlatformXcvrRxMemRead");
    return xcvr_transfer(sw, 1, xcvr, device, offset, data, length, false);
}

fm_status fmPlatformXcvrRxMemWrite(fm_int sw, fm_int xcvr, fm_int device, fm_int offset,
                                   fm_byte *data, fm_int length) {
    FMSIM_ENTER("fmPlatformXcvrRxMemWrite");
    return xcvr_transfer(sw, 1, xcvr, device, offset, data, length, true);
}

}  // extern "C"

int fmsim_mdio_reg(int sw, int bus, int phy, int dev, int reg) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    Platform *p = find_platform(sw);
    std::uint64_t key;
    if (p == nullptr || !mdio_key(bus, phy, dev, reg, &key)) return -1;
    auto it = p->mdio.find(key);
    return it == p->mdio.end() ? 0 : it->second;
}

bool fmsim_csr(int sw, std::uint32_t addr, std::uint32_t *value) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    Platform *p = find_platform(sw);
    if (p == nullptr || addr > FM_PLAT_CSR_MAX_ADDR || value == nullptr) return false;
    auto it = p->csr.find(addr);
    *value = it == p->csr.end() ? 0 : it->second;
    return true;
}

FmsimI2cTransfer fmsim_i2c_last(int sw, FmsimI2cBus bus) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    Platform *p = find_platform(sw);
    if (p == nullptr) return {-1, 0, 0, 0};
    return p->i2c[static_cast<size_t>(bus)].last;
}

int fmsim_i2c_reg(int sw, FmsimI2cBus bus, int device, int reg) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    Platform *p = find_platform(sw);
    if (p == nullptr || device < 0 || device > FM_PLAT_I2C_MAX_ADDR || reg < 0 ||
        reg >= FM_PLAT_I2C_REGS)
        return -1;
    I2cBus &b = p->i2c[static_cast<size_t>(bus)];
    return i2c_device(b, static_cast<int>(bus), device).regs[static_cast<size_t>(reg)];
}

int fmsim_i2c_pointer(int sw, FmsimI2cBus bus, int device) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    Platform *p = find_platform(sw);
    if (p == nullptr || device < 0 || device > FM_PLAT_I2C_MAX_ADDR) return -1;
    return i2c_device(p->i2c[static_cast<size_t>(bus)], static_cast<int>(bus), device).pointer;
}

int fmsim_xcvr_byte(int sw, bool rx, int xcvr, int device, int offset) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fm_byte b = 0;
    // Past the operation's entry, so neither counted nor failed by injection.
    if (xcvr_transfer(sw, rx ? 1 : 0, xcvr, device, offset, &b, 1, false) != FM_OK) return -1;
    return b;
}

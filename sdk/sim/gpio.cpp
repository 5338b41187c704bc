// gpio.cpp - fmsim's GPIO lines: a direction and a value per line and switch.
#include <array>
#include <vector>

#include "fmsim.h"
#include "fmsim_platform.h"
#include "sim.h"

namespace {

struct Line {
    fm_platGpioDirection dir = FM_PLAT_GPIO_DIR_INPUT;
    fm_int value = 0;
};

std::vector<std::array<Line, FM_PLAT_NUM_GPIO>> &lines() {
    static auto *l = new std::vector<std::array<Line, FM_PLAT_NUM_GPIO>>;
    return *l;
}

void reset_gpio() {
    lines().assign(FM_MAX_NUM_SWITCHES, {});
}

struct Init {
    Init() {
        reset_gpio();
        fmsim::on_reset(reset_gpio);
    }
} init;

Line *find_line(fm_int sw, fm_int gpio, fm_status *st) {
    if (fmsim::find_switch(sw) == nullptr) {
        *st = FM_ERR_INVALID_SWITCH;
        return nullptr;
    }
    if (gpio < 0 || gpio >= FM_PLAT_NUM_GPIO) {
        *st = FM_ERR_INVALID_ARGUMENT;
        return nullptr;
    }
    return &lines()[static_cast<size_t>(sw)][static_cast<size_t>(gpio)];
}

}  // namespace

extern "C" {

fm_status fmPlatformGpioSetDirection(fm_int sw, fm_int gpio, fm_platGpioDirection direction,
                                     fm_int value) {
    FMSIM_ENTER("fmPlatformGpioSetDirection");
    fm_status st = FM_OK;
    Line *l = find_line(sw, gpio, &st);
    if (l == nullptr) return st;
    if (direction < FM_PLAT_GPIO_DIR_INPUT || direction > FM_PLAT_GPIO_DIR_OPEN_DRAIN)
        return FM_ERR_INVALID_ARGUMENT;
    l->dir = direction;
    if (direction != FM_PLAT_GPIO_DIR_INPUT) l->value = value ? 1 : 0;
    return FM_OK;
}

fm_status fmPlatformGpioGetDirection(fm_int sw, fm_int gpio, fm_platGpioDirection *direction) {
    FMSIM_ENTER("fmPlatformGpioGetDirection");
    fm_status st = FM_OK;
    Line *l = find_line(sw, gpio, &st);
    if (l == nullptr) return st;
    if (direction == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *direction = l->dir;
    return FM_OK;
}

fm_status fmPlatformGpioSetValue(fm_int sw, fm_int gpio, fm_int value) {
    FMSIM_ENTER("fmPlatformGpioSetValue");
    fm_status st = FM_OK;
    Line *l = find_line(sw, gpio, &st);
    if (l == nullptr) return st;
    // An input line is driven from outside; writing it changes nothing.
    if (l->dir == FM_PLAT_GPIO_DIR_INPUT) return FM_ERR_INVALID_STATE;
    l->value = value ? 1 : 0;
    return FM_OK;
}

fm_status fmPlatformGpioGetValue(fm_int sw, fm_int gpio, fm_int *value) {
    FMSIM_ENTER("fmPlatformGpioGetValue");
    fm_status st = FM_OK;
    Line *l = find_line(sw, gpio, &st);
    if (l == nullptr) return st;
    if (value == nullptr) return FM_ERR_INVALID_ARGUMENT;
    *value = l->value;
    return FM_OK;
}

}  // extern "C"

void fmsim_gpio_line(int sw, int gpio, int *direction, int *value) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fm_status st = FM_OK;
    Line *l = find_line(sw, gpio, &st);
    if (direction) *direction = l ? l->dir : -1;
    if (value) *value = l ? l->value : -1;
}

void fmsim_gpio_drive_input(int sw, int gpio, int value) {
    std::lock_guard<std::recursive_mutex> g(fmsim::mutex());
    fm_status st = FM_OK;
    Line *l = find_line(sw, gpio, &st);
    if (l != nullptr && l->dir == FM_PLAT_GPIO_DIR_INPUT) l->value = value ? 1 : 0;
}

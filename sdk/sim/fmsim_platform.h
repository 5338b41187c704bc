// fmsim_platform.h - inspection of fmsim's platform hardware, for tests.
#pragma once

// A GPIO line's direction and value (-1 for an unknown switch or line).
void fmsim_gpio_line(int sw, int gpio, int *direction, int *value);
// Sets the level that the outside world drives on an input line.
void fmsim_gpio_drive_input(int sw, int gpio, int value);

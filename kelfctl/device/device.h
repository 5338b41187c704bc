// device.h - the printers of the platform hardware, daemon and raw objects.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "output.h"
#include "values.h"

namespace kelfctl {

Output print_value(const std::string &key, std::int64_t v, int hex_digits = 0);
Output print_block(const kel_query_list_t &q, std::uint32_t length);
Output print_temperature(int sensor, int dev, int celsius);
Output print_gpio(int gpio, std::optional<int> direction, std::optional<int> value);
Output print_daemon(int switches, int stay_up);
Output print_raw(int code, const std::vector<unsigned char> &reply);

}  // namespace kelfctl

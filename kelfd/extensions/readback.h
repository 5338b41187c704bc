// readback.h - everything else a unit holds, read back whole in few
// requests: its ports (kind, link, mode, properties and mask), their
// counters, its load-balancing groups, mirrors and multicast groups (with
// their members and labels) and its scalar settings; and the labels
// clients give rules and objects.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstdint>
#include <vector>

namespace kelf::extensions {

// True for a read-back code (KEL_X_RULES to KEL_X_UNIT).
bool is_read_back(std::uint32_t code);
// Builds the reply of a read-back request in out.
void read_back(std::uint32_t code, const kel_x_read_t &q, std::vector<unsigned char> &out);
// KEL_X_LABEL: 0, or -1 after the line saying why.
int set_label(const kel_x_label_t &l);

}  // namespace kelf::extensions

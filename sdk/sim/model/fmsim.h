// fmsim.h - the switch model's own API, in process: platform set-up, fault
// injection and inspection (the other headers of sdk/sim/model/ add one
// object family each). Tests, tools and fmsim's I/O servers use it; the
// daemon never does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fm_sdk.h"

// Rebuilds every switch in its power-on state, clears every injected fault
// and call count, and takes the switch count from FMSIM_SWITCHES (1..8,
// default 1) unless fmsim_set_switches chose one.
void fmsim_reset();
// Sets the number of switches of the platform (1..8) and resets.
void fmsim_set_switches(int count);
int fmsim_num_switches();

// Makes call number nth (1-based, counted since the last reset) of operation
// op fail with status; with times > 1 the following calls fail too, with
// times -1 every call from nth on.
void fmsim_fail(const std::string &op, std::uint64_t nth = 1, fm_status status = FM_FAIL,
                std::int64_t times = 1);
void fmsim_fail_clear();
// Every operation fmsim implements and counts, by name, ascending; called
// or not. Names that only a fault made up are not among them.
std::vector<std::string> fmsim_operations();
// Calls of op since the last reset.
std::uint64_t fmsim_calls(const std::string &op);

// Parses a fault list "op[#n][=status],..." and installs it. Returns false
// and sets *error for a malformed list, installing nothing.
bool fmsim_fail_parse(const std::string &list, std::string *error);

// Inspection of ports.
bool fmsim_port_exists(int sw, int port);
// The attribute's stored value; false when the port or attribute is unknown.
bool fmsim_port_attr(int sw, int port, int attr, std::int32_t *value);
// The port's mask: bit q set when the port may send to logical port q.
std::uint64_t fmsim_port_mask(int sw, int port);
void fmsim_port_state(int sw, int port, int *mode, int *submode);

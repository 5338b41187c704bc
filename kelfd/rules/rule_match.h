// rule_match.h - what a rule matches, both ways: the request's match fields
// turned into the switch's condition bits and values, the ingress port
// matched by its source glort or, for a PCI Express port, through a port
// set; and the stored rule's match read back for a query.
#pragma once

#include <kelfd/kel_lib.h>

#include "fm_sdk.h"
#include "rule_table.h"

// Per unit, four slots of port sets, each created for one PCI Express port
// and kept for every later rule on that port while some rule of the unit
// matches through it. reset_port_sets() makes a row {-1, 0, 0, 0}, and so
// does a freed slot (-1 in slot 0, 0 in the others).
extern fm_int portSet[KEL_MAX_UNITS][4];

namespace kelf::rules {

// True when port is not 0 and the switch calls it a PCI Express port.
bool is_pcie_port(int unit, int port);

// Matches an ordinary port by its source glort, unless the action code is
// a mirror's (bit 0x8), which matches on every port. False when the glort
// cannot be read.
bool match_glort(int unit, int action, bool pcie, kel_acl_rule_t &r);

// Addresses, VLAN, EtherType and MPLS, protocol, L4 ports and MACs.
void match_fields(const kel_mem_t &m, kel_acl_rule_t &r);

// Matches a PCI Express port through its port set, creating one in a free
// slot on first use. "portSet error" and -1 when all four slots hold other
// ports, or when the port set cannot be made (the slot then stays free) or
// a held set's port cannot be read.
int match_port_set(int unit, int port, kel_acl_rule_t &r);

// A rule of the tables that matches through a port set: held when a table
// took it, released when it left the switch (held false: it was refused and
// no table took it). A set no rule holds any more is deleted and its slot
// freed. Rules without a port set are ignored.
void port_set_held(int unit, const kel_acl_rule_t &r);
void port_set_released(int unit, const kel_acl_rule_t &r, bool held);

// Writes the stored rule's match as a query reports it: ingress port, L4
// ports and masks, addresses (an IPv6 one into the IPv6 fields), protocol,
// VLAN, EtherType, MACs and the MPLS header. Fields it does not report keep
// what m had.
void decode_match(const kel_acl_rule_t &r, kel_mem_t &m);

// Empties every unit's port-set slots (the switch keeps its port sets).
void reset_port_sets();

}  // namespace kelf::rules

// distribution.h - traffic distribution: load-balancing groups, mirrors,
// multicast groups and the L2/L3 hash settings. Every object lives in the
// switch; the daemon keeps no table of them, only passes numbers.
#pragma once

#include <kelfd/kel_lib.h>

#include <map>
#include <vector>

// Load-balancing groups (commands 55, 57, 58).
// Creates a mapped group of 256 bins spread round-robin over the list's
// 1 to 32 ports; the new group's number, or -1.
int kel_lbg_add_fn(int unit, kel_lbg_list_t *kel_lbg_list);
// 0, or -1 when the switch refuses.
int kel_lbg_remove_fn(int unit, int lbg);
// Fills at most 16 group numbers and their count; 0 or -1.
int kel_lbg_query_list_fn(int unit, kel_lbg_query_list_t *kel_lbg_query_list);

// Mirrors (commands 65 to 70 and 72). A mirror's number is its mirror port.
// Creates (or extends) mirror `port` with the listed monitored ports; 0 or -1.
int kel_mir_add_fn(int unit, int port, kel_lbg_list_t *kel_lbg_list);
int kel_mir_remove_fn(int unit, int lbg);
int kel_mir_port_add_fn(int unit, int lbg, int port);
int kel_mir_port_remove_fn(int unit, int lbg, int port);
// VLAN 0 or below is written as -1: the copies keep the frame's VLAN.
int kel_mir_vlan_add_fn(int unit, int lbg, int vlan);
// Lists at most 16 mirror numbers; lbg_num counts them all. Always 0.
int kel_mir_query_list_fn(int unit, kel_lbg_query_list_t *kel_lbg_query_list);
// Lists at most 16 monitored ports of mirror lbg; lbg_num counts them all.
// 0, or -1 (lbg_num 0, ret -1) for no such mirror or one without ports.
int kel_mir_port_query_list_fn(int unit, int lbg, kel_lbg_query_list_t *kel_lbg_query_list);

// Multicast groups (commands 77 to 80).
// Creates an active group for L3 switching only; its number, or -1.
int kel_mcg_create_fn(int unit);
// The group's logical port, or -1.
int kel_mcg_get_port_fn(int unit, int mcg);
// Adds the listener port on VLAN (low 16 bits of vlan); 0 or -1.
int kel_mcg_add_listener_fn(int unit, int mcg, int port, int vlan);
// Deactivates and deletes the group; 0 or -1.
int kel_mcg_remove_fn(int unit, int mcg);

// Hash settings (commands 52, 53, 61, 62). A set reads profile 0, changes
// the fields its selector word names and writes the result under profile 0
// or the chosen profile: 0, the switch's failing status, or -1 for no
// record. A get fills the record from profile 0 and returns the read status.
int kel_set_l2_hash_fn(int unit, kel_l2_hash_t *l2_hash);
int kel_set_l3_hash_fn(int unit, kel_l3_hash_t *l3_hash);
int kel_get_l2_hash_fn(int unit, kel_l2_hash_t *l2_hash);
int kel_get_l3_hash_fn(int unit, kel_l3_hash_t *l3_hash);

namespace kelf::distribution {
// The multicast groups made through kelfd on the unit, each with the
// listeners added to it, in the order they came; nullptr for a unit
// outside 0 to 7.
const std::map<int, std::vector<kel_x_listener_t>> *mcast_groups(int unit);
// Forgets them (the daemon's reset).
void reset();
}  // namespace kelf::distribution

// port_properties.h - one property of one port at a time: VLAN membership,
// speed, interface mode, parser depth, routed-frame and TTL update, PRBS
// self-test and loopback; the stay-up flag; the port-state diagnostic.
#pragma once

#include <kelfd/kel_lib.h>

// Member of VLANs 2..4095 (tagged where the switch accepts it), forwarding;
// the status of the last SDK call.
int kel_add_vlan_promisc_fn(int unit, int port);
// Out of VLANs 2..4095; the status of the last removal.
int kel_del_vlan_promisc_fn(int unit, int port);

// The value read, or -1; ports outside 1..48 are refused.
int kel_get_port_speed_fn(int unit, int port);
int kel_get_port_eth_mode_fn(int unit, int port);

// The client's parser values are the switch's plus 2, both ways.
int kel_set_port_parser_fn(int unit, int port, int val);
int kel_get_port_parser_fn(int unit, int port);
int kel_set_rframe_update_fn(int unit, int port, int val);
int kel_get_rframe_update_fn(int unit, int port);
// The low byte of val is the flag.
int kel_set_ttl_update_fn(int unit, int port, int val);
int kel_get_ttl_update_fn(int unit, int port);

// Starts the PRBS pattern of order `pattern` (7, 9, 11, 15, 23 or 31) on a
// port of an inserted unit: transmitting when `transmit` is non-zero,
// checking otherwise. 0 or -1.
int kel_set_prbs_fn(int unit, int port, int pattern, int transmit);

// Prints the switch's description and dumps around the port; mode, state
// and info go into list entries 0..5. 0, or -1 when the state query failed.
int kel_get_port_state_fn(int unit, int port, kel_lbg_query_list_t *list);

// Loopback mode 0 (off, loopback suppressed), 1 or 2. The status of the
// mode's write when that failed, else of its read-back; -1 for another mode.
int kel_set_loopback_fn(int unit, int port, int mode);

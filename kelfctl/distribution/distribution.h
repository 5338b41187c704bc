// distribution.h - the traffic distribution objects (lbg, mirror, mcast,
// hash): their requests, what the session keeps of their lists, and their
// printers. The send_* and read_* functions are the one place each of
// their requests is built.
#pragma once

#include <kelfd/kel_lib.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "output.h"
#include "readback.h"
#include "session.h"
#include "values.h"

namespace kelfctl {

// kelfd lists at most 16 groups or mirrors; whole is false when it had more.
struct Listed {
    std::vector<int> numbers;
    bool whole = true;
};
Listed lbg_numbers(Session &s);
Listed mirror_numbers(Session &s);
void forget_lbgs(Session &s);
void forget_mirrors(Session &s);
bool listed(const Listed &l, int n);

// Load-balancing groups: the new group's number, or negative.
std::int32_t send_lbg_add(Session &s, const std::vector<int> &ports);
std::int32_t send_lbg_remove(Session &s, int lbg);

// Mirrors.
std::int32_t send_mirror_add(Session &s, int mirror, const std::vector<int> &ports);
std::int32_t send_mirror_remove(Session &s, int mirror);
// Adds (or removes) one monitored port.
std::int32_t send_mirror_port(Session &s, int code, int mirror, int port);
std::int32_t send_mirror_vlan(Session &s, int mirror, int vlan);  // 0: none
kel_lbg_query_list_t read_mirror_ports(Session &s, int mirror);

// Multicast groups.
std::int32_t send_mcast_create(Session &s);  // the new group's number, or negative
std::int32_t send_mcast_remove(Session &s, int group);
std::int32_t read_mcast_port(Session &s, int group);  // its logical port, or negative
std::int32_t send_mcast_listener(Session &s, int group, int port, int vlan);
// The words of a multicast listener, `port PORT vlan VLAN` in either order;
// both are required.
std::pair<int, int> listener_words(Session &s, Args &a);

// A group or multicast group named by its number or by its name (its
// label in kelfd, which a file's name or `lbg add NAME` gives it).
int lbg_named(Session &s, const std::string &word);
int mcast_named(Session &s, const std::string &word);
// The multicast group whose logical port is port, if any.
std::optional<HeldMcast> mcast_at_port(Session &s, int port);

// Hash fields by their keyword in `hash set`; a MAC mask as a 48-bit number.
using HashFields = std::map<std::string, std::uint64_t>;
enum class HashLevel { L2, L3 };
// The switch's L2 and L3 hash settings (profile 0).
kel_l2_hash_t get_l2(Session &s);
kel_l3_hash_t get_l3(Session &s);
// The fields as kelfd reports them, in the file's keywords.
HashFields hash_fields(const kel_l2_hash_t &h);
HashFields hash_fields(const kel_l3_hash_t &h);
// Writes the fields given (to profile, when given); a field written by the
// selector bit of one given keeps its value in cur (read now when null).
void send_hash(Session &s, HashLevel level, const HashFields &f, std::optional<int> profile = {},
               const HashFields *cur = nullptr);
// The words after `hash set l2|l3`, into out. A file keeps no profile and
// refuses a field it gives twice; a command takes the last.
void parse_hash(Args &a, HashLevel level, bool in_file, std::optional<int> *profile,
                HashFields &out);
// "hash set l2 src-mac ... " in the field order kelfctl writes.
std::string hash_line(HashLevel level, const HashFields &f);

// Printing.
Output print_lbg_added(int lbg);
Output print_lbgs(const std::vector<int> &lbgs, bool whole = true);
struct MirrorInfo {
    int mirror;
    std::optional<std::vector<int>> ports;  // nullopt: none monitored
};
Output print_mirrors(const std::vector<MirrorInfo> &m);
// Rules that send traffic to a group or mirror: group and id.
using RuleUses = std::vector<std::pair<int, std::int64_t>>;
// One group or mirror with everything kelfd reports of it and the rules
// that use it; what kelfd cannot report is said so.
Output print_lbg_detail(int lbg, bool listed, const RuleUses &rules);
Output print_mirror_detail(const MirrorInfo &m, const RuleUses &rules);
Output print_mcast_created(int group);
// What kelfd reads back of the objects, whole and with their names.
Output print_held_lbgs(const std::vector<HeldLbg> &l);
Output print_held_lbg(const HeldLbg &l, const RuleUses &rules);
Output print_held_mirrors(const std::vector<HeldMirror> &m);
Output print_held_mirror(const HeldMirror &m, const RuleUses &rules);
Output print_held_mcasts(const std::vector<HeldMcast> &m);
Output print_held_mcast(const HeldMcast &m, const RuleUses &rules);
Output print_mcast(int group, int port);
Output print_l2_hash(const kel_l2_hash_t &h);
Output print_l3_hash(const kel_l3_hash_t &h);

}  // namespace kelfctl

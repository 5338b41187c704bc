#include "help.h"

namespace fmsimctl {

const Option kOptions[] = {
    {"unit", 'u', true},    {"socket", 'S', true}, {"timeout", 't', true},  {"json", 'j', false},
    {"pretty", 'p', false}, {"help", 'h', false},  {"version", 'V', false},
};
const std::span<const Option> kOptionTable{kOptions};

const char kMainHelp[] =
    "Usage: fmsimctl [OPTIONS] COMMAND [ARGS]\n"
    "       fmsimctl help [COMMAND]\n\n"
    "Talks to the control socket of fmsim, the simulated switch under kelfd.\n\n"
    "COMMAND := { trace | send | replay | capture | ports | stats }\n"
    "  trace    send one frame into a port and show where it goes and why\n"
    "  send     send every frame of a pcap file into a port\n"
    "  replay   send a pcap file and write what leaves each port to pcap files\n"
    "  capture  write what leaves a port to a pcap file\n"
    "  ports    each port's link, VLANs, mask and counters\n"
    "  stats    each switch's ACL compiles and applies, and the rules it holds\n\n"
    "OPTIONS := { -u UNIT | -j | -p | -S PATH | -t SEC | -h | -V }\n"
    "  -u, --unit UNIT     switch 0 to 7 (default 0)\n"
    "  -j, --json          one JSON document\n"
    "  -p, --pretty        indented JSON\n"
    "  -S, --socket PATH   fmsim's socket (default $KELF_RUN_DIR/fmsim.sock, else /var/run)\n"
    "  -t, --timeout SEC   how long to wait for fmsim (default 10)\n"
    "  -V, --version       print the version\n\n"
    "Exit status: 0 done, 1 refused by fmsim or a file fault, 2 usage, 3 fmsim unreachable.\n";

const char kTraceHelp[] =
    "Usage: fmsimctl trace in-port PORT [FRAME WORDS]\n"
    "       fmsimctl trace in-port PORT frame HEX\n\n"
    "Sends one frame into PORT as if it arrived on the wire (counters move, its\n"
    "frames leave the switch) and prints each stage's decision, the rules that\n"
    "hit, the deciding one, the ports it leaves by, its copies and a drop reason.\n\n"
    "FRAME WORDS := src-mac MAC | dst-mac MAC | ethertype TYPE | vlan VLAN |\n"
    "               src-ip ADDRESS | dst-ip ADDRESS | protocol PROTO | sport PORT |\n"
    "               dport PORT | mpls { unicast | multicast } | length BYTES\n"
    "Defaults: dst-mac 02:00:00:00:00:02, src-mac 02:00:00:00:00:01, udp when an\n"
    "address is given, 60 bytes at least.\n";

const char kSendHelp[] =
    "Usage: fmsimctl send in-port PORT FILE.pcap\n\n"
    "Sends every frame of an Ethernet capture into PORT. The whole file is read\n"
    "and checked first: a malformed file sends nothing.\n";

const char kReplayHelp[] =
    "Usage: fmsimctl replay FILE.pcap in-port PORT -w DIR [--trace] [--replace]\n\n"
    "Sends every frame of the capture into PORT, writes what leaves each port\n"
    "to DIR/port-N.pcap and prints a summary per egress port and per hit rule.\n"
    "A DIR that holds port files of an earlier replay is refused; --replace\n"
    "removes them first.\n"
    "--trace prints one trace per frame as a JSON line, then the summary as a\n"
    "last JSON line {\"summary\": ...}.\n";

const char kCaptureHelp[] =
    "Usage: fmsimctl capture PORT -w FILE.pcap [-c COUNT]\n\n"
    "Writes what leaves PORT from now on to FILE.pcap, until COUNT frames or\n"
    "Ctrl-C. fmsim drops (and counts) frames a slow capture cannot take.\n";

const char kPortsHelp[] =
    "Usage: fmsimctl ports\n\n"
    "Each port's kind, link, number of VLANs it is a member of, port mask and\n"
    "counters (received and sent frames and octets, drops).\n";

const char kStatsHelp[] =
    "Usage: fmsimctl stats\n\n"
    "Per switch, whatever -u says: the ACL compiles and applies fmsim carried\n"
    "out since it started (calls that failed are not counted) and the rules\n"
    "it holds now, in force or not.\n";

}  // namespace fmsimctl

#include "cli.h"

#include <fmsim/control.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>

#include "frames.h"
#include "link.h"
#include "output.h"
#include "values.h"
#include "words.h"

#ifndef FMSIMCTL_VERSION
#define FMSIMCTL_VERSION "unknown"
#endif

namespace fmsimctl {
namespace {

using Json = nlohmann::ordered_json;

using namespace fmsim::control;
// One send request's frames at most, and their bytes: well inside the
// server's limit on a request.
constexpr std::size_t kBatchFrames = 4096;
constexpr std::size_t kBatchBytes = 512u << 10;

// A code's name, or its number when this fmsimctl does not know it.
std::string kind_name(std::uint8_t k) {
    const char *n = emit_name(k);
    return n != nullptr ? n : std::to_string(k);
}
std::string drop_name(std::uint8_t d) {
    const char *n = fmsim::control::drop_name(d);
    return n != nullptr ? n : std::to_string(d);
}

struct Ctx {
    int unit = 0;
    bool json = false, pretty = false;
    std::string socket;
    std::chrono::milliseconds timeout{10000};
    std::ostream *out = nullptr, *err = nullptr;
    std::string dump(const Json &j) const { return j.dump(pretty ? 2 : -1); }
};

volatile sig_atomic_t g_interrupted = 0;
void on_sigint(int) { g_interrupted = 1; }

const char kMainHelp[] =
    "Usage: fmsimctl [OPTIONS] COMMAND [ARGS]\n"
    "       fmsimctl help [COMMAND]\n\n"
    "Talks to the control socket of fmsim, the simulated switch under kelfd.\n\n"
    "COMMAND := { trace | send | replay | capture | ports }\n"
    "  trace    send one frame into a port and show where it goes and why\n"
    "  send     send every frame of a pcap file into a port\n"
    "  replay   send a pcap file and write what leaves each port to pcap files\n"
    "  capture  write what leaves a port to a pcap file\n"
    "  ports    each port's link, VLANs, mask and counters\n\n"
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
    "Usage: fmsimctl replay FILE.pcap in-port PORT -w DIR [--trace]\n\n"
    "Sends every frame of the capture into PORT, writes what leaves each port\n"
    "to DIR/port-N.pcap and prints a summary per egress port and per hit rule.\n"
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

struct Command {
    const char *name;
    const char *help;
    int (*run)(Ctx &, std::vector<std::string> &);
};

int port_word(const std::string &w, const char *what) {
    try {
        return static_cast<int>(kelfctl::parse_int(w, what, 0, 65535));
    } catch (const kelfctl::ValueError &e) {
        usage(e.what());
    }
}

// Takes "KEY VALUE" out of words; nullopt when KEY is not there.
std::optional<std::string> take_pair(std::vector<std::string> &words, const std::string &key,
                                     const char *what) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] != key) continue;
        if (i + 1 >= words.size()) usage(key + " needs " + what);
        std::string v = words[i + 1];
        words.erase(words.begin() + static_cast<std::ptrdiff_t>(i),
                    words.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        if (std::find(words.begin(), words.end(), key) != words.end()) usage(key + " given twice");
        return v;
    }
    return std::nullopt;
}

bool take_flag(std::vector<std::string> &words, const std::string &key) {
    auto it = std::find(words.begin(), words.end(), key);
    if (it == words.end()) return false;
    words.erase(it);
    return true;
}

int in_port(std::vector<std::string> &words) {
    auto p = take_pair(words, "in-port", "a PORT");
    if (!p) usage("in-port PORT is missing");
    return port_word(*p, "in-port PORT");
}

std::string hex_text(const std::string &hex, std::size_t max_bytes) {
    std::string s;
    for (std::size_t i = 0; i < hex.size() && i / 2 < max_bytes; i += 2) {
        if (i) s += ' ';
        s += hex.substr(i, 2);
    }
    if (hex.size() / 2 > max_bytes) s += " ...";
    return s;
}

std::vector<std::uint8_t> unhex(const std::string &hex) {
    try {
        return kelfctl::parse_bytes(hex, "egress frame");
    } catch (const kelfctl::ValueError &) {
        refused("fmsim sent a frame that is not hex");
    }
}

Json parse_json(const std::vector<std::uint8_t> &reply) {
    Json j = Json::parse(reply.begin() + 1, reply.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) refused("fmsim's reply is not a JSON object");
    return j;
}

// A short decode of the parsed fields: "02:..:01 > 02:..:02 vlan 5 IPv4 192.0.2.1 > 192.0.2.2 udp 1000 > 2000".
std::string frame_text(const Json &p) {
    std::string s = p.value("src_mac", "?") + " > " + p.value("dst_mac", "?");
    if (p.contains("tags") && p["tags"].is_array())
        for (const auto &t : p["tags"]) s += " vlan " + std::to_string(t.value("vlan", 0));
    int et = p.value("ethertype", 0);
    if (p.contains("src_ip")) {
        s += (et == 0x86DD ? " IPv6 " : " IPv4 ") + p.value("src_ip", "?") + " > " + p.value("dst_ip", "?");
        if (p.contains("protocol")) s += " " + kelfctl::format_protocol(p.value("protocol", 0));
        if (p.contains("sport"))
            s += " " + std::to_string(p.value("sport", 0)) + " > " + std::to_string(p.value("dport", 0));
    } else {
        s += " ethertype " + kelfctl::format_ethertype(et);
    }
    if (!p.value("error", Json(nullptr)).is_null()) s += " (parse error: " + p["error"].get<std::string>() + ")";
    return s;
}

void print_trace_text(std::ostream &os, const Json &t) {
    os << "trace    unit " << t.value("unit", 0) << " in-port " << t.value("in_port", 0) << ", "
       << t.value("length", 0) << " bytes\n";
    if (t.contains("parsed")) os << "frame    " << frame_text(t["parsed"]) << '\n';
    os << "vlan     " << t.value("vlan", -1) << " priority " << t.value("priority", 0) << " switch-priority "
       << t.value("switch_priority", 0) << '\n';
    if (t.contains("stages") && !t["stages"].empty()) {
        os << "stages\n";
        for (const auto &l : t["stages"]) os << "  " << l.get<std::string>() << '\n';
    }
    os << "rules";
    if (t["rules"].empty()) os << "    none hit";
    os << '\n';
    for (const auto &r : t["rules"])
        os << "  group " << r.value("group", 0) << " id " << r.value("id", 0) << "  " << r.value("action", "?")
           << (r.value("deciding", false) ? "  (deciding)" : "") << '\n';
    if (t.contains("lbg") && t["lbg"].is_object())
        os << "lbg      group " << t["lbg"].value("group", 0) << " hash " << kelfctl::hex(t["lbg"].value("hash", 0u))
           << " bin " << t["lbg"].value("bin", 0) << '\n';
    os << "egress";
    if (t["egress"].empty()) os << "   none";
    os << '\n';
    for (const auto &e : t["egress"]) {
        os << "  port " << e.value("port", 0) << "  " << e.value("kind", "?");
        if (!e.value("source", Json(nullptr)).is_null()) os << " " << e["source"].get<int>();
        os << "  " << e.value("length", 0) << " bytes  " << hex_text(e.value("hex", ""), 24) << '\n';
    }
    if (t.value("dropped", false))
        os << "result   dropped: " << t.value("reason", Json("?")).get<std::string>() << '\n';
    else
        os << "result   forwarded to " << t["egress"].size() << " port" << (t["egress"].size() == 1 ? "" : "s")
           << '\n';
}

std::vector<std::uint8_t> trace_request(int unit, int port, const std::vector<std::uint8_t> &frame) {
    Body b(kTrace);
    b.put<std::int32_t>(unit).put<std::int32_t>(port).bytes(frame);
    return std::move(b.data());
}

int cmd_trace(Ctx &c, std::vector<std::string> &w) {
    int port = in_port(w);
    std::vector<std::uint8_t> frame = build_frame(w);
    Link link(c.socket, c.timeout);
    Json t = parse_json(link.call(trace_request(c.unit, port, frame)));
    if (!t.contains("egress") || !t["egress"].is_array() || !t.contains("rules") || !t["rules"].is_array())
        refused("fmsim's trace lacks egress or rules");
    if (c.json)
        *c.out << c.dump(t) << '\n';
    else
        print_trace_text(*c.out, t);
    return kExitOk;
}

// The frames of a capture in send requests of a bounded size.
template <class F>
void in_batches(const std::vector<PcapFrame> &frames, F &&each) {
    std::size_t i = 0;
    while (i < frames.size()) {
        std::size_t j = i, bytes = 0;
        while (j < frames.size() && j - i < kBatchFrames && bytes + frames[j].bytes.size() + 4 <= kBatchBytes) {
            bytes += frames[j].bytes.size() + 4;
            ++j;
        }
        if (j == i) ++j;  // one frame alone is always within the limit
        each(i, j);
        i = j;
    }
}

std::vector<std::uint8_t> send_request(int unit, int port, bool report, const std::vector<PcapFrame> &frames,
                                       std::size_t from, std::size_t to) {
    Body b(kSend);
    b.put<std::int32_t>(unit).put<std::int32_t>(port).put<std::uint8_t>(report ? kSendReport : 0);
    b.put<std::uint32_t>(static_cast<std::uint32_t>(to - from));
    for (std::size_t k = from; k < to; ++k) {
        b.put<std::uint32_t>(static_cast<std::uint32_t>(frames[k].bytes.size()));
        b.bytes(frames[k].bytes);
    }
    return std::move(b.data());
}

std::string take_file(std::vector<std::string> &w, const char *what) {
    if (w.empty()) usage(std::string(what) + " is missing");
    std::string f = w.front();
    w.erase(w.begin());
    return f;
}

void no_more(const std::vector<std::string> &w) {
    if (!w.empty()) usage("unexpected word '" + w.front() + "'");
}

int cmd_send(Ctx &c, std::vector<std::string> &w) {
    int port = in_port(w);
    std::string file = take_file(w, "FILE.pcap");
    no_more(w);
    std::vector<PcapFrame> frames = read_pcap(file);
    Link link(c.socket, c.timeout);
    std::uint64_t sent = 0, left = 0;
    in_batches(frames, [&](std::size_t i, std::size_t j) {
        auto reply = link.call(send_request(c.unit, port, false, frames, i, j));
        Fields f(reply, 1);
        sent += f.get<std::uint32_t>();
        left += f.get<std::uint64_t>();
    });
    if (c.json)
        *c.out << c.dump(Json{{"sent", sent}, {"egress_frames", left}}) << '\n';
    else
        *c.out << "sent " << sent << " frame" << (sent == 1 ? "" : "s") << " into port " << port << "; " << left
               << " left the switch\n";
    return kExitOk;
}

struct ReplayStats {
    std::uint64_t frames = 0, dropped = 0;
    std::map<std::string, std::uint64_t> drops;
    struct PortStat {
        std::uint64_t frames = 0, bytes = 0;
        std::map<std::string, std::uint64_t> kinds;
    };
    std::map<int, PortStat> ports;
    struct RuleStat {
        std::uint64_t frames = 0, deciding = 0;
    };
    std::map<std::pair<int, int>, RuleStat> rules;
};

Json summary_json(const ReplayStats &s, const std::string &dir) {
    Json eg = Json::array();
    for (const auto &[port, p] : s.ports)
        eg.push_back({{"port", port},
                      {"frames", p.frames},
                      {"bytes", p.bytes},
                      {"kinds", p.kinds},
                      {"file", dir + "/port-" + std::to_string(port) + ".pcap"}});
    Json rules = Json::array();
    for (const auto &[k, r] : s.rules)
        rules.push_back({{"group", k.first}, {"id", k.second}, {"frames", r.frames}, {"deciding", r.deciding}});
    return Json{{"frames", s.frames}, {"dropped", s.dropped}, {"drops", s.drops}, {"egress", eg}, {"rules", rules}};
}

void print_summary_text(std::ostream &os, const ReplayStats &s, const std::string &dir) {
    os << "frames   " << s.frames << " sent, " << s.dropped << " dropped";
    if (!s.drops.empty()) {
        os << " (";
        bool first = true;
        for (const auto &[why, n] : s.drops) os << (first ? "" : ", ") << why << ' ' << n, first = false;
        os << ')';
    }
    os << '\n';
    kelfctl::Table eg("egress", {{"port", "PORT"}, {"frames", "FRAMES"}, {"bytes", "BYTES"}, {"file", "FILE"}});
    for (const auto &[port, p] : s.ports)
        eg.row({kelfctl::num(port), kelfctl::unum(p.frames), kelfctl::unum(p.bytes),
                kelfctl::str(dir + "/port-" + std::to_string(port) + ".pcap")});
    os << "egress" << (eg.empty() ? "   none\n" : "\n");
    eg.text(os);
    kelfctl::Table rules("rules", {{"group", "GROUP"}, {"id", "ID"}, {"frames", "FRAMES"}, {"deciding", "DECIDING"}});
    for (const auto &[k, r] : s.rules)
        rules.row({kelfctl::num(k.first), kelfctl::num(k.second), kelfctl::unum(r.frames), kelfctl::unum(r.deciding)});
    os << "rules" << (rules.empty() ? "    none hit\n" : "\n");
    rules.text(os);
}

int cmd_replay(Ctx &c, std::vector<std::string> &w) {
    auto dir = take_pair(w, "-w", "a DIR");
    if (!dir) usage("-w DIR is missing");
    int port = in_port(w);
    bool trace = take_flag(w, "--trace");
    std::string file = take_file(w, "FILE.pcap");
    no_more(w);
    std::vector<PcapFrame> frames = read_pcap(file);
    if (::mkdir(dir->c_str(), 0777) != 0 && errno != EEXIST) refused("cannot make " + *dir + ": " + std::strerror(errno));
    struct stat st{};
    if (::stat(dir->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) refused(*dir + " is not a directory");

    std::map<int, std::unique_ptr<PcapWriter>> writers;
    auto writer = [&](int p) -> PcapWriter & {
        auto &wr = writers[p];
        if (!wr) wr = std::make_unique<PcapWriter>(*dir + "/port-" + std::to_string(p) + ".pcap");
        return *wr;
    };
    ReplayStats s;
    auto left = [&](const PcapFrame &in, int p, const std::string &kind, const std::uint8_t *b, std::size_t n) {
        writer(p).write(in.sec, in.usec, b, n);
        auto &ps = s.ports[p];
        ++ps.frames;
        ps.bytes += n;
        ++ps.kinds[kind];
    };
    Link link(c.socket, c.timeout);
    if (trace) {
        for (const PcapFrame &in : frames) {
            Json t = parse_json(link.call(trace_request(c.unit, port, in.bytes)));
            *c.out << t.dump() << '\n';
            ++s.frames;
            if (t.value("dropped", false)) {
                ++s.dropped;
                ++s.drops[t.value("reason", Json("?")).get<std::string>()];
            }
            for (const auto &r : t.value("rules", Json::array())) {
                auto &rs = s.rules[{r.value("group", 0), r.value("id", 0)}];
                ++rs.frames;
                rs.deciding += r.value("deciding", false) ? 1 : 0;
            }
            for (const auto &e : t.value("egress", Json::array())) {
                auto bytes = unhex(e.value("hex", ""));
                left(in, e.value("port", 0), e.value("kind", "?"), bytes.data(), bytes.size());
            }
        }
    } else {
        in_batches(frames, [&](std::size_t i, std::size_t j) {
            auto reply = link.call(send_request(c.unit, port, true, frames, i, j));
            Fields f(reply, 1);
            auto count = f.get<std::uint32_t>();
            if (count != j - i) refused("fmsim answered for " + std::to_string(count) + " frames, not " + std::to_string(j - i));
            for (std::size_t k = i; k < j; ++k) {
                ++s.frames;
                auto drop = f.get<std::uint8_t>();
                if (drop != 0) {
                    ++s.dropped;
                    ++s.drops[drop_name(drop)];
                }
                auto hits = f.get<std::uint8_t>();
                std::vector<std::pair<int, int>> hit;
                for (int h = 0; h < hits; ++h) {
                    int acl = f.get<std::int32_t>();
                    int rule = f.get<std::int32_t>();
                    hit.emplace_back(acl, rule);
                }
                std::pair<int, int> deciding{f.get<std::int32_t>(), 0};
                deciding.second = f.get<std::int32_t>();
                for (const auto &h : hit) {
                    auto &rs = s.rules[h];
                    ++rs.frames;
                    rs.deciding += h == deciding ? 1 : 0;
                }
                auto emits = f.get<std::uint16_t>();
                for (int e = 0; e < emits; ++e) {
                    int p = f.get<std::int32_t>();
                    auto kind = f.get<std::uint8_t>();
                    (void)f.get<std::int32_t>();  // the mirror or group of a copy
                    auto n = f.get<std::uint32_t>();
                    left(frames[k], p, kind_name(kind), f.take(n), n);
                }
            }
        });
    }
    for (auto &[p, wr] : writers) wr->flush();
    if (trace)
        *c.out << Json{{"summary", summary_json(s, *dir)}}.dump() << '\n';
    else if (c.json)
        *c.out << c.dump(summary_json(s, *dir)) << '\n';
    else
        print_summary_text(*c.out, s, *dir);
    return kExitOk;
}

int cmd_capture(Ctx &c, std::vector<std::string> &w) {
    auto file = take_pair(w, "-w", "a FILE.pcap");
    if (!file) usage("-w FILE.pcap is missing");
    std::int64_t count = -1;
    if (auto n = take_pair(w, "-c", "a COUNT")) {
        try {
            count = kelfctl::parse_int(*n, "-c COUNT", 1, INT64_MAX);
        } catch (const kelfctl::ValueError &e) {
            usage(e.what());
        }
    }
    if (w.empty()) usage("PORT is missing");
    int port = port_word(w.front(), "capture PORT");
    w.erase(w.begin());
    no_more(w);

    Link link(c.socket, c.timeout);
    Body b(kCapture);
    b.put<std::int32_t>(c.unit).put<std::int32_t>(port);
    link.call(b.data());
    PcapWriter out(*file);
    out.open();
    // Ctrl-C ends the capture with the file complete.
    struct sigaction sa{}, old_int{}, old_term{};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    g_interrupted = 0;
    sigaction(SIGINT, &sa, &old_int);
    sigaction(SIGTERM, &sa, &old_term);
    struct Restore {
        struct sigaction a, b;
        ~Restore() {
            sigaction(SIGINT, &a, nullptr);
            sigaction(SIGTERM, &b, nullptr);
        }
    } restore{old_int, old_term};
    if (!c.json) {
        *c.err << "fmsimctl: capturing port " << port << " to " << *file << "; Ctrl-C ends\n";
    }
    std::int64_t got = 0;
    std::uint32_t dropped = 0;
    std::vector<std::uint8_t> msg;
    while (!g_interrupted && (count < 0 || got < count)) {
        if (!link.receive(&msg, 200)) {
            out.flush();
            continue;
        }
        if (msg[0] != kFrame) continue;
        Fields f(msg, 1);
        auto ns = f.get<std::uint64_t>();
        (void)f.get<std::int32_t>();
        (void)f.get<std::uint8_t>();
        dropped = f.get<std::uint32_t>();
        std::size_t n = msg.size() - kFrameHeader;
        out.write(static_cast<std::int64_t>(ns / 1000000000), static_cast<std::int64_t>(ns / 1000 % 1000000),
                  f.take(n), n);
        ++got;
    }
    out.flush();
    if (c.json)
        *c.out << c.dump(Json{{"port", port}, {"frames", got}, {"dropped", dropped}, {"file", *file}}) << '\n';
    else
        *c.out << got << " frame" << (got == 1 ? "" : "s") << " from port " << port << " written to " << *file
               << (dropped ? "; fmsim dropped " + std::to_string(dropped) + " this capture could not take" : "")
               << '\n';
    return kExitOk;
}

int cmd_ports(Ctx &c, std::vector<std::string> &w) {
    no_more(w);
    Link link(c.socket, c.timeout);
    Body b(kPorts);
    b.put<std::int32_t>(c.unit);
    Json j = parse_json(link.call(b.data()));
    if (!j.contains("ports") || !j["ports"].is_array()) refused("fmsim's port list is malformed");
    kelfctl::Table t("ports", {{"port", "PORT"},
                               {"kind", "KIND"},
                               {"link", "LINK"},
                               {"vlans", "VLANS"},
                               {"mask", "MASK"},
                               {"rx_frames", "RX"},
                               {"tx_frames", "TX"},
                               {"rx_octets", "RX-OCTETS"},
                               {"tx_octets", "TX-OCTETS"},
                               {"drops", "DROPS"}});
    for (const auto &p : j["ports"]) {
        std::vector<int> mask;
        for (const auto &m : p.value("mask", Json::array())) mask.push_back(m.get<int>());
        t.row({kelfctl::num(p.value("port", 0)), kelfctl::str(p.value("kind", "?")),
               kelfctl::str(p.value("link", "?")), kelfctl::num(p.value("vlans", 0)), kelfctl::ports(mask),
               kelfctl::unum(p.value("rx_frames", 0ull)), kelfctl::unum(p.value("tx_frames", 0ull)),
               kelfctl::unum(p.value("rx_octets", 0ull)), kelfctl::unum(p.value("tx_octets", 0ull)),
               kelfctl::unum(p.value("drops", 0ull))});
    }
    if (c.json)
        *c.out << c.dump(t.json()) << '\n';
    else
        t.text(*c.out);
    return kExitOk;
}

const Command kCommands[] = {
    {"trace", kTraceHelp, cmd_trace},       {"send", kSendHelp, cmd_send},
    {"replay", kReplayHelp, cmd_replay},    {"capture", kCaptureHelp, cmd_capture},
    {"ports", kPortsHelp, cmd_ports},
};

bool is_help(const std::string &w) { return w == "help" || w == "-h" || w == "--help" || w == "-help"; }

const Command &find_command(const std::string &word) {
    std::vector<kelfctl::Choice> choices;
    for (const auto &c : kCommands) choices.push_back({c.name});
    auto r = kelfctl::resolve(word, choices);
    if (r.match != kelfctl::Match::Found) usage(kelfctl::unresolved(word, r, "command"));
    return kCommands[r.index];
}

}  // namespace

int fmsimctl_main(int argc, char **argv, std::ostream &out, std::ostream &err) {
    Ctx c;
    c.out = &out;
    c.err = &err;
    c.socket = default_socket_path();
    std::string topic;
    try {
        int i = 1;
        for (; i < argc; ++i) {
            std::string w = argv[i];
            if (w == "--") {
                ++i;
                break;
            }
            if (w.size() < 2 || w[0] != '-') break;
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) usage("option " + w + " needs a value");
                return argv[++i];
            };
            if (w == "-u" || w == "--unit") {
                try {
                    c.unit = static_cast<int>(kelfctl::parse_int(value(), "unit", 0, 7));
                } catch (const kelfctl::ValueError &e) {
                    usage(e.what());
                }
            } else if (w == "-S" || w == "--socket") {
                c.socket = value();
            } else if (w == "-t" || w == "--timeout") {
                try {
                    c.timeout = std::chrono::milliseconds(kelfctl::parse_int(value(), "timeout SEC", 1, 3600) * 1000);
                } catch (const kelfctl::ValueError &e) {
                    usage(e.what());
                }
            } else if (w == "-j" || w == "--json") {
                c.json = true;
            } else if (w == "-p" || w == "--pretty") {
                c.pretty = true;
            } else if (is_help(w)) {
                out << kMainHelp;
                return kExitOk;
            } else if (w == "-V" || w == "--version") {
                out << "fmsimctl " FMSIMCTL_VERSION "\n";
                return kExitOk;
            } else {
                usage("unknown option '" + w + "'");
            }
        }
        std::vector<std::string> words(argv + i, argv + argc);
        if (words.empty() || (is_help(words[0]) && words.size() == 1)) {
            out << kMainHelp;
            return kExitOk;
        }
        if (is_help(words[0])) {
            out << find_command(words[1]).help;
            return kExitOk;
        }
        const Command &cmd = find_command(words[0]);
        topic = cmd.name;
        words.erase(words.begin());
        for (const auto &w : words)
            if (is_help(w)) {
                out << cmd.help;
                return kExitOk;
            }
        // -j and -p hold anywhere on the line.
        std::erase_if(words, [&](const std::string &w) {
            if (w == "-j" || w == "--json") return c.json = true;
            if (w == "-p" || w == "--pretty") return c.pretty = true;
            return false;
        });
        return cmd.run(c, words);
    } catch (const Failure &f) {
        std::string msg = f.what();
        if (f.status == kExitUsage) msg += "; see 'fmsimctl " + (topic.empty() ? std::string("help") : topic + " help") + "'";
        err << "fmsimctl: " << msg << '\n';
        if (c.json) out << c.dump(Json{{"error", f.what()}, {"exit", f.status}}) << '\n';
        return f.status;
    } catch (const std::exception &e) {
        err << "fmsimctl: " << e.what() << '\n';
        return kExitRefused;
    }
}

}  // namespace fmsimctl

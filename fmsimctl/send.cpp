// fmsimctl send and replay: the frames of a pcap file into a port, in send
// requests of a bounded size; replay writes what leaves to pcap files.
#include <fmsim/control.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "command.h"
#include "frames.h"
#include "output.h"
#include "values.h"

namespace fmsimctl {
namespace {

using namespace fmsim::control;

// One send request's frames at most, and their bytes: well inside the
// server's limit on a request.
constexpr std::size_t kBatchFrames = 4096;
constexpr std::size_t kBatchBytes = 512u << 10;
// The op, unit, port, flags and count, then the frames with their lengths.
static_assert(1 + 4 + 4 + 1 + 4 + kBatchBytes <= kMaxRequest && kBatchFrames <= kMaxBatch);

std::vector<std::uint8_t> unhex(const std::string &hex) {
    try {
        return kelfctl::parse_bytes(hex, "egress frame");
    } catch (const kelfctl::ValueError &) {
        refused("fmsim sent a frame that is not hex");
    }
}

// The frames of a capture in send requests of a bounded size.
template <class F>
void in_batches(const std::vector<PcapFrame> &frames, F &&each) {
    std::size_t i = 0;
    while (i < frames.size()) {
        std::size_t j = i, bytes = 0;
        while (j < frames.size() && j - i < kBatchFrames &&
               bytes + frames[j].bytes.size() + 4 <= kBatchBytes) {
            bytes += frames[j].bytes.size() + 4;
            ++j;
        }
        if (j == i) ++j;  // one frame alone is always within the limit
        each(i, j);
        i = j;
    }
}

std::vector<std::uint8_t> send_request(int unit, int port, bool report,
                                       const std::vector<PcapFrame> &frames, std::size_t from,
                                       std::size_t to) {
    Body b(kSend);
    b.put<std::int32_t>(unit).put<std::int32_t>(port).put<std::uint8_t>(report ? kSendReport : 0);
    b.put<std::uint32_t>(static_cast<std::uint32_t>(to - from));
    for (std::size_t k = from; k < to; ++k) {
        b.put<std::uint32_t>(static_cast<std::uint32_t>(frames[k].bytes.size()));
        b.bytes(frames[k].bytes);
    }
    return std::move(b.data());
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
        rules.push_back(
            {{"group", k.first}, {"id", k.second}, {"frames", r.frames}, {"deciding", r.deciding}});
    return Json{{"frames", s.frames},
                {"dropped", s.dropped},
                {"drops", s.drops},
                {"egress", eg},
                {"rules", rules}};
}

void print_summary_text(std::ostream &os, const ReplayStats &s, const std::string &dir) {
    os << "frames   " << s.frames << " sent, " << s.dropped << " dropped";
    if (!s.drops.empty()) {
        os << " (";
        bool first = true;
        for (const auto &[why, n] : s.drops)
            os << (first ? "" : ", ") << why << ' ' << n, first = false;
        os << ')';
    }
    os << '\n';
    kelfctl::Table eg(
        "egress", {{"port", "PORT"}, {"frames", "FRAMES"}, {"bytes", "BYTES"}, {"file", "FILE"}});
    for (const auto &[port, p] : s.ports)
        eg.row({kelfctl::num(port), kelfctl::unum(p.frames), kelfctl::unum(p.bytes),
                kelfctl::str(dir + "/port-" + std::to_string(port) + ".pcap")});
    os << "egress" << (eg.empty() ? "   none\n" : "\n");
    eg.text(os);
    kelfctl::Table rules(
        "rules",
        {{"group", "GROUP"}, {"id", "ID"}, {"frames", "FRAMES"}, {"deciding", "DECIDING"}});
    for (const auto &[k, r] : s.rules)
        rules.row({kelfctl::num(k.first), kelfctl::num(k.second), kelfctl::unum(r.frames),
                   kelfctl::unum(r.deciding)});
    os << "rules" << (rules.empty() ? "    none hit\n" : "\n");
    rules.text(os);
}

}  // namespace

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
        *c.out << "sent " << sent << " frame" << (sent == 1 ? "" : "s") << " into port " << port
               << "; " << left << " left the switch\n";
    return kExitOk;
}

int cmd_replay(Ctx &c, std::vector<std::string> &w) {
    auto dir = take_pair(w, "-w", "a DIR");
    if (!dir) usage("-w DIR is missing");
    int port = in_port(w);
    bool trace = take_flag(w, "--trace");
    bool replace = take_flag(w, "--replace");
    std::string file = take_file(w, "FILE.pcap");
    no_more(w);
    std::vector<PcapFrame> frames = read_pcap(file);
    if (::mkdir(dir->c_str(), 0777) != 0 && errno != EEXIST)
        refused("cannot make " + *dir + ": " + std::strerror(errno));
    struct stat st {};
    if (::stat(dir->c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        refused(*dir + " is not a directory");
    // Port files of an earlier replay would read as this one's.
    std::vector<std::string> earlier;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(*dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("port-", 0) == 0 && name.size() > 10 &&
            name.compare(name.size() - 5, 5, ".pcap") == 0)
            earlier.push_back(e.path().string());
    }
    if (!earlier.empty() && !replace)
        refused(*dir + " holds " + std::to_string(earlier.size()) +
                " port files of an earlier replay; --replace removes them first, or name another "
                "DIR");
    for (const std::string &f : earlier)
        if (::unlink(f.c_str()) != 0) refused("cannot remove " + f + ": " + std::strerror(errno));

    std::map<int, std::unique_ptr<PcapWriter>> writers;
    auto writer = [&](int p) -> PcapWriter & {
        auto &wr = writers[p];
        if (!wr) wr = std::make_unique<PcapWriter>(*dir + "/port-" + std::to_string(p) + ".pcap");
        return *wr;
    };
    ReplayStats s;
    auto left = [&](const PcapFrame &in, int p, const std::string &kind, const std::uint8_t *b,
                    std::size_t n) {
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
            if (count != j - i)
                refused("fmsim answered for " + std::to_string(count) + " frames, not " +
                        std::to_string(j - i));
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

}  // namespace fmsimctl

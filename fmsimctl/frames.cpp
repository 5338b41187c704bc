#include "frames.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "link.h"
#include "values.h"
#include "words.h"

namespace fmsimctl {
namespace {

using kelfctl::ValueError;

template <class F>
auto value(F &&f) -> decltype(f()) {
    try {
        return f();
    } catch (const ValueError &e) {
        usage(e.what());
    }
}

void put16(std::vector<std::uint8_t> &b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

std::uint16_t ip_checksum(const std::uint8_t *p, std::size_t n) {
    std::uint32_t s = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2)
        s += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    return static_cast<std::uint16_t>(~s);
}

const std::vector<kelfctl::Choice> kFrameWords = {
    {"src-mac"},  {"dst-mac"}, {"ethertype"}, {"vlan"}, {"src-ip"}, {"dst-ip"},
    {"protocol"}, {"sport"},   {"dport"},     {"mpls"}, {"length"}, {"frame"},
};

}  // namespace

std::vector<std::uint8_t> build_frame(const std::vector<std::string> &words) {
    kelfctl::Mac dst{0x02, 0, 0, 0, 0, 0x02}, src{0x02, 0, 0, 0, 0, 0x01};
    int ethertype = -1, vlan = -1, protocol = -1, sport = -1, dport = -1, mpls = 0;
    std::size_t length = 0;
    std::optional<kelfctl::IpPrefix> sip, dip;
    std::optional<std::vector<std::uint8_t>> raw;
    std::map<std::string_view, bool> seen;
    for (std::size_t i = 0; i < words.size(); ++i) {
        auto r = kelfctl::resolve(words[i], kFrameWords);
        if (r.match != kelfctl::Match::Found) usage(kelfctl::unresolved(words[i], r, "frame word"));
        std::string_view kw = kFrameWords[r.index].name;
        if (seen[kw]) usage(std::string(kw) + " given twice");
        seen[kw] = true;
        if (i + 1 >= words.size()) usage(std::string(kw) + " needs a value");
        const std::string &v = words[++i];
        if (kw == "src-mac")
            src = value([&] { return kelfctl::parse_mac(v, kw); });
        else if (kw == "dst-mac")
            dst = value([&] { return kelfctl::parse_mac(v, kw); });
        else if (kw == "ethertype")
            ethertype = value([&] { return kelfctl::parse_ethertype(v, kw); });
        else if (kw == "vlan")
            vlan = static_cast<int>(value([&] { return kelfctl::parse_int(v, kw, 0, 4095); }));
        else if (kw == "src-ip" || kw == "dst-ip") {
            kelfctl::IpPrefix p = value([&] { return kelfctl::parse_ip_prefix(v, kw); });
            (kw == "src-ip" ? sip : dip) = p;
        } else if (kw == "protocol")
            protocol = value([&] { return kelfctl::parse_protocol(v, kw); });
        else if (kw == "sport")
            sport = static_cast<int>(value([&] { return kelfctl::parse_int(v, kw, 0, 65535); }));
        else if (kw == "dport")
            dport = static_cast<int>(value([&] { return kelfctl::parse_int(v, kw, 0, 65535); }));
        else if (kw == "mpls") {
            if (v != "unicast" && v != "multicast")
                usage("mpls: '" + v + "' is not unicast or multicast");
            mpls = v == "unicast" ? 1 : 2;
        } else if (kw == "length")
            length = static_cast<std::size_t>(
                value([&] { return kelfctl::parse_int(v, kw, 14, 15360); }));
        else if (kw == "frame")
            raw = value([&] { return kelfctl::parse_bytes(v, kw); });
    }
    if (raw) {
        if (seen.size() > 1) usage("frame HEX takes no other frame word");
        if (raw->empty()) usage("frame: no bytes");
        return *raw;
    }
    if (sip && dip && sip->v6 != dip->v6) usage("src-ip and dst-ip are not of one IP version");
    const bool ip = sip || dip;
    const bool v6 = (sip && sip->v6) || (dip && dip->v6);
    if (ip && mpls) usage("mpls and an IP address do not go together");
    if ((sport >= 0 || dport >= 0 || protocol >= 0) && !ip)
        usage("protocol, sport and dport need src-ip or dst-ip");
    if ((sport >= 0 || dport >= 0) && protocol < 0) protocol = 17;
    if (ip && protocol < 0) protocol = 17;
    if (ethertype < 0)
        ethertype = mpls == 1 ? 0x8847 : mpls == 2 ? 0x8848 : !ip ? 0x88B5 : v6 ? 0x86DD : 0x0800;

    std::vector<std::uint8_t> f(dst.begin(), dst.end());
    f.insert(f.end(), src.begin(), src.end());
    if (vlan >= 0) {
        put16(f, 0x8100);
        put16(f, static_cast<unsigned>(vlan));
    }
    put16(f, static_cast<unsigned>(ethertype));
    const std::size_t l3 = f.size();
    if (mpls) {
        // Label 16, bottom of stack, TTL 64.
        f.insert(f.end(), {0x00, 0x01, 0x01, 0x40});
    } else if (ip) {
        const bool l4 = protocol == 6 || protocol == 17;
        const std::size_t l4len = protocol == 6 ? 20 : protocol == 17 ? 8 : 0;
        const std::size_t iplen = v6 ? 40 : 20;
        std::size_t total = std::max(length, l3 + iplen + l4len);
        std::size_t payload = total - l3 - iplen;  // what follows the IP header
        if (v6) {
            f.insert(f.end(), {0x60, 0, 0, 0});
            put16(f, static_cast<unsigned>(payload));
            f.push_back(static_cast<std::uint8_t>(protocol));
            f.push_back(64);
            for (const auto *p : {&sip, &dip}) {
                std::array<std::uint8_t, 16> a{};
                if (*p) a = (*p)->addr;
                f.insert(f.end(), a.begin(), a.end());
            }
        } else {
            f.push_back(0x45);
            f.push_back(0);
            put16(f, static_cast<unsigned>(iplen + payload));
            f.insert(f.end(), {0, 0, 0x40, 0, 64});
            f.push_back(static_cast<std::uint8_t>(protocol));
            f.insert(f.end(), {0, 0});
            for (const auto *p : {&sip, &dip}) {
                std::uint32_t a = *p ? (*p)->v4 : 0;
                put16(f, a >> 16);
                put16(f, a & 0xFFFF);
            }
            std::uint16_t sum = ip_checksum(f.data() + l3, 20);
            f[l3 + 10] = static_cast<std::uint8_t>(sum >> 8);
            f[l3 + 11] = static_cast<std::uint8_t>(sum);
        }
        if (l4) {
            put16(f, static_cast<unsigned>(std::max(sport, 0)));
            put16(f, static_cast<unsigned>(std::max(dport, 0)));
            if (protocol == 17) {
                put16(f, static_cast<unsigned>(payload));
                put16(f, 0);  // no checksum
            } else {
                f.insert(f.end(), {0, 0, 0, 1, 0, 0, 0, 0, 0x50, 0x10, 0xFF, 0xFF, 0, 0, 0, 0});
            }
        }
    }
    if (length != 0 && length < f.size())
        usage("length " + std::to_string(length) + " is shorter than the headers (" +
              std::to_string(f.size()) + " bytes)");
    // 60 bytes at least, as on the wire (the FCS is not part of a frame here).
    f.resize(std::max<std::size_t>({f.size(), length, 60}), 0);
    return f;
}

std::vector<PcapFrame> read_pcap(const std::string &path) {
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t *p = pcap_open_offline(path.c_str(), err);
    if (p == nullptr) refused(path + ": " + err);
    std::unique_ptr<pcap_t, void (*)(pcap_t *)> hold(p, pcap_close);
    if (pcap_datalink(p) != DLT_EN10MB)
        refused(path + ": not an Ethernet capture (link type " + std::to_string(pcap_datalink(p)) +
                ")");
    std::vector<PcapFrame> frames;
    pcap_pkthdr *h = nullptr;
    const u_char *data = nullptr;
    for (;;) {
        int r = pcap_next_ex(p, &h, &data);
        if (r == PCAP_ERROR_BREAK) break;  // the end of the file
        if (r != 1)
            refused(path + ": frame " + std::to_string(frames.size() + 1) + ": " + pcap_geterr(p));
        if (h->caplen < h->len)
            refused(path + ": frame " + std::to_string(frames.size() + 1) + " holds " +
                    std::to_string(h->caplen) + " of its " + std::to_string(h->len) + " bytes");
        if (h->caplen == 0 || h->caplen > 65535)
            refused(path + ": frame " + std::to_string(frames.size() + 1) + " has " +
                    std::to_string(h->caplen) + " bytes");
        frames.push_back(
            {h->ts.tv_sec, h->ts.tv_usec, std::vector<std::uint8_t>(data, data + h->caplen)});
    }
    return frames;
}

struct PcapWriter::Handles {
    pcap_t *dead = nullptr;
    pcap_dumper_t *dump = nullptr;
    ~Handles() {
        if (dump != nullptr) pcap_dump_close(dump);
        if (dead != nullptr) pcap_close(dead);
    }
};

PcapWriter::PcapWriter(std::string path) : path_(std::move(path)) {}
PcapWriter::~PcapWriter() = default;

void PcapWriter::open() {
    if (!h_) {
        auto h = std::make_unique<Handles>();
        h->dead = pcap_open_dead(DLT_EN10MB, 65535);
        if (h->dead == nullptr) refused(path_ + ": cannot start a capture file");
        h->dump = pcap_dump_open(h->dead, path_.c_str());
        if (h->dump == nullptr) refused(path_ + ": " + pcap_geterr(h->dead));
        h_ = std::move(h);
    }
}

void PcapWriter::write(std::int64_t sec, std::int64_t usec, const std::uint8_t *p, std::size_t n) {
    open();
    pcap_pkthdr hdr{};
    hdr.ts.tv_sec = static_cast<time_t>(sec);
    hdr.ts.tv_usec = static_cast<suseconds_t>(usec);
    hdr.caplen = hdr.len = static_cast<bpf_u_int32>(n);
    pcap_dump(reinterpret_cast<u_char *>(h_->dump), &hdr, p);
}

void PcapWriter::flush() {
    if (h_ && pcap_dump_flush(h_->dump) != 0) refused(path_ + ": cannot write");
}

}  // namespace fmsimctl

// pcap_files.h - frames for the process tests: a UDP frame of the tests'
// own network (192.0.2.0/24), and pcap files written and read back.
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kelftest {

using Frame = std::vector<std::uint8_t>;

// 192.0.2.1 to 192.0.2.<last_ip_byte>, UDP 5000 to 80, padded to 60 bytes
// with tag.
inline Frame udp_frame(std::uint8_t last_ip_byte, std::uint8_t tag) {
    Frame f = {0x02,         0,    0,    0,    0,   0x02, 0x02, 0, 0,   0,    0,
               0x01,         0x08, 0x00, 0x45, 0,   0,    46,   0, 0,   0x40, 0,
               64,           17,   0,    0,    192, 0,    2,    1, 192, 0,    2,
               last_ip_byte, 0x13, 0x88, 0,    80,  0,    26,   0, 0};
    f.resize(60, tag);
    return f;
}

inline void write_pcap(const std::string &path, const std::vector<Frame> &frames) {
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    ASSERT_NE(dead, nullptr);
    pcap_dumper_t *d = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(d, nullptr);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        pcap_pkthdr h{};
        h.ts.tv_sec = 1700000000 + static_cast<time_t>(i);
        h.caplen = h.len = static_cast<bpf_u_int32>(frames[i].size());
        pcap_dump(reinterpret_cast<u_char *>(d), &h, frames[i].data());
    }
    pcap_dump_close(d);
    pcap_close(dead);
}

inline std::vector<Frame> read_pcap(const std::string &path) {
    char err[PCAP_ERRBUF_SIZE];
    pcap_t *p = pcap_open_offline(path.c_str(), err);
    EXPECT_NE(p, nullptr) << path << ": " << err;
    std::vector<Frame> r;
    if (p == nullptr) return r;
    pcap_pkthdr *h;
    const u_char *data;
    int st;
    while ((st = pcap_next_ex(p, &h, &data)) == 1) r.emplace_back(data, data + h->caplen);
    EXPECT_EQ(st, PCAP_ERROR_BREAK) << path << " ends cut off";
    pcap_close(p);
    return r;
}

}  // namespace kelftest

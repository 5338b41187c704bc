// frames.h - the frames fmsimctl sends: built from words like the matches
// of a kelfctl rule, and read from and written to pcap files.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fmsimctl {

// Builds a frame from words (src-mac, dst-mac, ethertype, vlan, src-ip,
// dst-ip, protocol, sport, dport, mpls, length) or takes `frame HEX`.
// A usage Failure names a wrong word.
std::vector<std::uint8_t> build_frame(const std::vector<std::string> &words);

struct PcapFrame {
    std::int64_t sec = 0, usec = 0;
    std::vector<std::uint8_t> bytes;
};

// Every frame of an Ethernet capture; a Failure (refused) naming the file
// and the fault when the file is not a complete one, so that nothing of a
// bad file is ever sent.
std::vector<PcapFrame> read_pcap(const std::string &path);

// Ethernet capture files, opened when first written to.
class PcapWriter {
public:
    explicit PcapWriter(std::string path);
    ~PcapWriter();
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;
    // Makes the file (with its header) now, even if no frame follows.
    void open();
    void write(std::int64_t sec, std::int64_t usec, const std::uint8_t *p, std::size_t n);
    void flush();

private:
    std::string path_;
    struct Handles;
    std::unique_ptr<Handles> h_;
};

}  // namespace fmsimctl

// Frames through fmsim's pipeline, one thread, trace off: the rate through a
// switch holding 4,096 rules in one group and 32 x 4,096, against the
// reference scan (every rule in order) over the same frames and rules in the
// same run; and the cost of one rule add plus compile and apply while 4,096
// rules are held. Frames are 64 to 1,500 bytes: IPv4 TCP and UDP, IPv6,
// VLAN-tagged, MPLS and non-IP, to learned unicast addresses.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fm_sdk.h"
#include "fmsim.h"
#include "fmsim_forward.h"
#include "frame_builder.h"
#include "reference_classifier.h"
#include "switch_setup.h"

namespace {

using fmsimtest::build;
using fmsimtest::FrameDef;
using fmsimtest::L3;

constexpr int kPorts = 16;
constexpr int kFrames = 4096;

std::uint64_t host_mac(int port) {
    return 0x020000000000ull | static_cast<std::uint64_t>(port);
}

struct Input {
    int port;
    std::vector<std::uint8_t> bytes;
};

// A switch that is up: ports 1..16 forwarding in VLAN 1 (untagged) and
// VLAN 100 (tagged), each port's host address learned.
void setup_switch() {
    fmsimtest::switch_up(1, kPorts, {{1, false}, {100, true}});
    for (fm_uint16 v : {1, 100})
        for (int p = 1; p <= kPorts; ++p) {
            FrameDef s;
            s.smac = host_mac(p);
            s.dmac = 0xFFFFFFFFFFFFull;
            if (v == 100) s.tags = {{0x8100, 100, 0}};
            fmsim_inject(0, p, build(s));
        }
    fmsimtest::create_acl0();
}

// Rules of the shapes operators write: host and prefix matches on
// addresses, service ports, ingress ports, MAC addresses, VLANs.
class Rules {
public:
    explicit Rules(std::uint32_t seed) : rng_(seed) {}
    std::uint32_t n(std::uint32_t max) {
        return std::uniform_int_distribution<std::uint32_t>(0, max - 1)(rng_);
    }

    void add(int acl, int id) {
        fm_aclCondition c = 0;
        fm_aclValue v{};
        fm_aclParamExt p{};
        fm_aclActionExt a = FM_ACL_ACTIONEXT_COUNT;
        switch (n(10)) {
            case 0:
            case 1:
            case 2:
            case 3:  // a service on a host
                c = FM_ACL_MATCH_DST_IP | FM_ACL_MATCH_PROTOCOL | FM_ACL_MATCH_L4_DST_PORT;
                v.dstIp.addr[0] = 0x0A000000u | n(1u << 16);
                v.dstIpMask.addr[0] = 0xFFFFFFFF;
                v.protocol = n(2) ? 6 : 17;
                v.protocolMask = 0xFF;
                v.L4DstStart = static_cast<fm_uint16>(1 + n(1024));
                break;
            case 4:
            case 5:  // a source subnet
                c = FM_ACL_MATCH_SRC_IP;
                v.srcIp.addr[0] = (0xC0A80000u | n(1u << 16)) & 0xFFFFFF00u;
                v.srcIpMask.addr[0] = 0xFFFFFF00;
                break;
            case 6:  // an ingress port and EtherType
                c = FM_ACL_MATCH_SRC_GLORT | FM_ACL_MATCH_ETHERTYPE;
                v.srcGlort = static_cast<fm_uint16>(0x1100 + 17 + n(30));
                v.srcGlortMask = 0xFFFF;
                v.ethType = 0x88B5;
                v.ethTypeMask = 0xFFFF;
                break;
            case 7:  // a station
                c = FM_ACL_MATCH_DST_MAC;
                v.dst = 0x040000000000ull | n(1u << 20);
                v.dstMask = 0xFFFFFFFFFFFFull;
                break;
            case 8:  // an IPv6 /64
                c = FM_ACL_MATCH_DST_IP;
                v.dstIp.isIPv6 = v.dstIpMask.isIPv6 = TRUE;
                v.dstIp.addr[2] = n(1u << 20);
                v.dstIp.addr[3] = 0x000080FE;
                v.dstIpMask.addr[2] = v.dstIpMask.addr[3] = 0xFFFFFFFF;
                break;
            default:  // a VLAN and a block of source ports
                c = FM_ACL_MATCH_VLAN | FM_ACL_MATCH_L4_SRC_PORT_WITH_MASK;
                v.vlanId = static_cast<fm_uint16>(200 + n(3000));
                v.vlanIdMask = 0x0FFF;
                v.L4SrcStart = static_cast<fm_uint16>(n(64) << 10);
                v.L4SrcMask = 0xFC00;
                break;
        }
        if (n(8) == 0) a |= FM_ACL_ACTIONEXT_DENY;
        fmAddACLRuleExt(0, acl, id, c, &v, a, &p);
    }

private:
    std::mt19937 rng_;
};

std::vector<Input> frames() {
    std::mt19937 rng(7);
    auto n = [&](std::uint32_t max) {
        return std::uniform_int_distribution<std::uint32_t>(0, max - 1)(rng);
    };
    const std::size_t sizes[] = {64, 64, 64, 128, 256, 512, 576, 1024, 1500, 1500};
    std::vector<Input> in;
    for (int i = 0; i < kFrames; ++i) {
        FrameDef s;
        int port = 1 + static_cast<int>(n(kPorts));
        int to = 1 + static_cast<int>(n(kPorts));
        if (to == port) to = to % kPorts + 1;
        s.smac = host_mac(port);
        s.dmac = host_mac(to);
        s.length = sizes[n(10)];
        s.src_ip = 0xC0A80000u | n(1u << 16);
        s.dst_ip = 0x0A000000u | n(1u << 16);
        s.src_port = static_cast<std::uint16_t>(1024 + n(60000));
        s.dst_port = static_cast<std::uint16_t>(1 + n(1024));
        s.protocol = n(3) ? 6 : 17;
        switch (n(20)) {
            case 0:
            case 1:
            case 2:
                s.l3 = L3::Ipv6;
                s.dst_ip6[0] = 0xFE;
                s.dst_ip6[1] = 0x80;
                s.dst_ip6[11] = static_cast<std::uint8_t>(n(16));
                break;
            case 3:
            case 4:
                s.l3 = L3::None;
                break;
            case 5:
                s.l3 = L3::Mpls;
                break;
            case 6:
            case 7:
                s.l3 = L3::Ipv4;
                s.tags = {{0x8100, 100, 3}};
                break;
            default:
                s.l3 = L3::Ipv4;
        }
        in.push_back({port, build(s)});
    }
    return in;
}

void load_rules(int groups, int per_group) {
    setup_switch();
    Rules r(42);
    for (int g = 0; g < groups; ++g) {
        fmCreateACLExt(0, g, 0x43F7, 0);
        for (int id = 1; id <= per_group; ++id) r.add(g, id);
    }
    fmCompileACL(0, nullptr, 0, 0);
    fmApplyACL(0, 0);
}

void BM_Forward(benchmark::State &state) {
    auto groups = static_cast<int>(state.range(0));
    load_rules(groups, 4096);
    auto in = frames();
    std::size_t i = 0, left = 0;
    for (auto _ : state) {
        const Input &f = in[i++ % in.size()];
        FmsimOutcome o = fmsim_inject(0, f.port, f.bytes.data(), f.bytes.size());
        left += o.frames.size();
        benchmark::DoNotOptimize(o);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.counters["left_per_frame"] =
        static_cast<double>(left) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Forward)->Arg(1)->Arg(32)->ArgName("groups")->MinTime(2.0);

// The lookup alone, as the pipeline makes it: parse, key, classifier.
void BM_Classify(benchmark::State &state) {
    load_rules(1, 4096);
    auto in = frames();
    std::vector<FmsimAclHit> hits;
    FmsimParsedFrame f;
    int vlan = 0;
    std::size_t i = 0;
    for (auto _ : state) {
        const Input &x = in[i++ % in.size()];
        benchmark::DoNotOptimize(
            fmsim_classify(0, x.port, x.bytes.data(), x.bytes.size(), &f, &vlan, &hits));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_Classify)->MinTime(2.0);

void BM_ReferenceScan(benchmark::State &state) {
    load_rules(1, 4096);
    struct Parsed {
        FmsimParsedFrame f;
        int vlan, port;
        fm_uint32 glort;
    };
    std::vector<Parsed> in;
    for (const Input &f : frames()) {
        Parsed p{};
        p.port = f.port;
        if (!fmsim_classify(0, f.port, f.bytes.data(), f.bytes.size(), &p.f, &p.vlan, nullptr))
            continue;
        fmGetStackGlort(0, f.port, &p.glort);
        in.push_back(p);
    }
    fmsimtest::ReferenceClassifier ref;
    ref.snapshot(0, 1);
    std::size_t i = 0;
    for (auto _ : state) {
        const Parsed &p = in[i++ % in.size()];
        benchmark::DoNotOptimize(ref.classify(p.f, p.vlan, p.port, p.glort));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_ReferenceScan)->MinTime(2.0);

// One rule added, compiled and applied, then removed the same way, while
// 4,096 rules are held: the time per iteration is two changes.
void BM_RuleAddApplyRemoveApply(benchmark::State &state) {
    load_rules(1, 4096);
    Rules r(9);
    for (auto _ : state) {
        r.add(0, 5000);
        fmCompileACL(0, nullptr, 0, 0);
        fmApplyACL(0, 0);
        fmDeleteACLRule(0, 0, 5000);
        fmCompileACL(0, nullptr, 0, 0);
        fmApplyACL(0, 0);
    }
}
BENCHMARK(BM_RuleAddApplyRemoveApply)->MinTime(1.0);

// Prints the ratios the targets are set in, from the rates of this run.
class Ratios : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second.value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        double one = rates_["BM_Forward/groups:1/min_time:2.000"];
        double many = rates_["BM_Forward/groups:32/min_time:2.000"];
        double ref = rates_["BM_ReferenceScan/min_time:2.000"];
        double lookup = rates_["BM_Classify/min_time:2.000"];
        if (one > 0 && ref > 0)
            std::printf(
                "\nframes/s, 1 x 4096 rules: %.0f (target >= 1,000,000)\n"
                "frames/s, 32 x 4096 rules: %.0f = %.2f of 1 x 4096 (target >= 0.5)\n"
                "reference scan, 1 x 4096 rules: %.0f frames/s; pipeline / scan = %.1f "
                "(target >= 20)\n"
                "lookup alone (parse, key, classifier), 1 x 4096 rules: %.0f frames/s; "
                "lookup / scan = %.1f\n",
                one, many, many / one, ref, one / ref, lookup, lookup / ref);
    }

private:
    std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    Ratios reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

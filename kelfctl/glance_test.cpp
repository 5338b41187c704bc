// The at-a-glance reads against the fake daemon: counter rates from counters
// that move between samples, the port table, temperatures in degrees, and
// what lbg and mirror show report.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>

#include "distribution.h"
#include "ports.h"
#include "rule_ops.h"
#include "testing/fake_daemon.h"

namespace kelfctl::test {
namespace {

std::vector<std::string> words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string x; in >> x;) w.push_back(x);
    return w;
}

std::vector<Json> json_lines(const std::string &out) {
    std::vector<Json> v;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) v.push_back(Json::parse(line));
    return v;
}

Bytes record(const void *p, std::size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    return Bytes(b, b + n);
}

// Each read of a port's counters finds it 500 frames, 64000 bytes, 3 drops
// and 1 error further on than the read before (port 2 twice as fast).
TEST(StatsWatch, RatesAndDeltasComeFromCountersThatMoveBetweenSamples) {
    FakeDaemon d;
    std::map<int, std::uint64_t> reads;
    d.answer[KEL_GET_STAT] = [&](const Bytes &req) {
        if_kel_t k;
        std::memcpy(&k, req.data(), sizeof k);
        std::uint64_t n = ++reads[k.kel_mem.port] * static_cast<std::uint64_t>(k.kel_mem.port);
        kel_stat_t s{};
        s.kel_stat_cnt.kelf.cntRxUcstPkts = 500 * n;
        s.kel_stat_cnt.kelf.cntRxGoodOctets = 64000 * n;
        s.kel_stat_cnt.kelf.cntTxMcstPkts = 100 * n;
        s.kel_stat_cnt.kelf.cntFFUDropPkts = 3 * n;
        s.kel_stat_cnt.kelf.cntRxFCSErrors = n;
        return record(&s, sizeof s);
    };
    Outcome r = run(d, words("stats watch 1-2 interval 0.1 count 3 -j"));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Json> samples = json_lines(r.out);
    ASSERT_EQ(samples.size(), 3u) << r.out;
    for (const Json &j : samples) {
        double secs = j["seconds"].get<double>();
        ASSERT_GE(secs, 0.1);
        ASSERT_EQ(j["rates"].size(), 2u);
        for (const Json &p : j["rates"]) {
            int port = p["port"].get<int>();
            // Rates are the change over the time between the samples;
            // drops and errors the change itself.
            EXPECT_EQ(p["rx_frames_per_s"].get<std::uint64_t>(),
                      static_cast<std::uint64_t>(500.0 * port / secs + 0.5));
            EXPECT_EQ(p["rx_bytes_per_s"].get<std::uint64_t>(),
                      static_cast<std::uint64_t>(64000.0 * port / secs + 0.5));
            EXPECT_EQ(p["tx_frames_per_s"].get<std::uint64_t>(),
                      static_cast<std::uint64_t>(100.0 * port / secs + 0.5));
            EXPECT_EQ(p["drops"], 3 * port);
            EXPECT_EQ(p["errors"], port);
        }
    }
    EXPECT_EQ(reads[1], 4u) << "a first read, then one a sample";

    EXPECT_EQ(run(d, words("stats watch 1 interval 0.05")).status, 2);
    EXPECT_EQ(run(d, words("stats watch 1 interval x")).status, 2);
}

// `stats` alone is `stats show`: the counter table of ports 1 to 48.
TEST(Stats, AloneShowsTheCounterTableOfEveryPort) {
    FakeDaemon d;
    std::set<int> read;
    d.answer[KEL_GET_STAT] = [&](const Bytes &req) {
        if_kel_t k;
        std::memcpy(&k, req.data(), sizeof k);
        read.insert(k.kel_mem.port);
        kel_stat_t s{};
        s.kel_stat_cnt.kelf.cntRxGoodOctets = 1000u + static_cast<unsigned>(k.kel_mem.port);
        return record(&s, sizeof s);
    };
    Outcome alone = run(d, {"stats"});
    ASSERT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(read.size(), 48u);
    EXPECT_EQ(*read.begin(), 1);
    EXPECT_EQ(*read.rbegin(), 48);
    EXPECT_EQ(alone.out, run(d, {"stats", "show"}).out);
    EXPECT_EQ(alone.out.rfind("PORT  RX FRAMES", 0), 0u) << alone.out;
}

TEST(StatsWatch, ACounterResetCountsFromZeroInsteadOfWrapping) {
    PortCounters before(1), after(1);
    before[0] = {3, {}};
    after[0] = {3, {}};
    before[0].second.cntRxUcstPkts = 1000;
    after[0].second.cntRxUcstPkts = 10;
    before[0].second.cntRxFCSErrors = 7;
    after[0].second.cntRxFCSErrors = 2;
    Json j = print_counter_rates(before, after, 2).json;
    EXPECT_EQ(j["rates"][0]["rx_frames_per_s"], 0);
    EXPECT_EQ(j["rates"][0]["errors"], 2) << "the errors since the reset";
}

// The port-state diagnostic answers mode, state and info words per port:
// card ports 1-40 25G Ethernet, 41-48 PCI Express at 50G without an
// interface mode, port 3 in loopback 2.
void ports_like_a_switch(FakeDaemon &d) {
    d.answer[KEL_GET_PORT_STATE] = [](const Bytes &req) {
        if_kel_lbg_t l;
        std::memcpy(&l, req.data(), sizeof l);
        kel_lbg_query_list_t q{};
        int p = l.lbg;
        bool eth = p >= 1 && p <= 40;
        q.kel_lbg_list.lbg_list[0] = 0;
        q.kel_lbg_list.lbg_list[1] = p == 5 ? 4 : 0;
        q.kel_lbg_list.lbg_list[3] = p == 3 ? 2 : 0;
        q.kel_lbg_list.lbg_list[4] = eth ? 11 : 0;
        q.kel_lbg_list.lbg_list[5] = eth ? 25000 : (p >= 41 && p <= 48 ? 50000 : 0);
        return record(&q, sizeof q);
    };
    d.answer[KEL_GET_PORT_MASK] = [](const Bytes &req) {
        if_kel_mask_t m;
        std::memcpy(&m, req.data(), sizeof m);
        kel_mask_t r{};
        if (m.mask.ingress[0] & 0x02) {  // port 1 forwards to every other port
            for (int q = 2; q <= 47; ++q)
                r.egress[q / 8] = static_cast<std::uint8_t>(r.egress[q / 8] | (1u << (q % 8)));
        } else if (m.mask.ingress[0] & 0x08) {  // port 3 to 4 and 6
            r.egress[0] = 0x50;
        }
        return record(&r, sizeof r);
    };
    d.status[KEL_GET_PORT_LINK] = 1;
}

TEST(PortTable, KindModeSpeedLoopbackAndMaskInWords) {
    FakeDaemon d;
    ports_like_a_switch(d);
    Outcome r = run(d, words("port show 0,1,3,41,48,50000"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "PORT   KIND      LINK  MODE        SPEED  LOOPBACK  FORWARDS TO\n"
              "0      cpu       -     disabled    -      off       -\n"
              "1      ethernet  up    25gbase-sr  25G    off       all others\n"
              "3      ethernet  up    25gbase-sr  25G    2         4,6\n"
              "41     pcie      up    disabled    50G    off       none\n"
              "48     pcie      up    disabled    50G    off       -\n"
              "50000  internal  -     disabled    -      off       -\n");

    Json j = Json::parse(run(d, words("-j port show 1,5 -d")).out);
    const Json &p1 = j["ports"][0];
    EXPECT_EQ(p1["kind"], "ethernet");
    EXPECT_EQ(p1["mode"], "25gbase-sr");
    EXPECT_EQ(p1["speed"], 25000) << "Mb/s in JSON";
    EXPECT_EQ(p1["mask"].size(), 46u);
    EXPECT_EQ(j["ports"][1]["state"], "down");

    // Bare `port` covers the whole unit: CPU, card and internal ports.
    Json all = Json::parse(run(d, words("-j port")).out);
    EXPECT_EQ(all["ports"].size(), 53u);
    EXPECT_EQ(run(d, words("port show 49")).status, 2);
}

TEST(Temperature, TheSensorByteReadsAsSignedDegrees) {
    FakeDaemon d;
    d.answer[KEL_TEMP1_READ] = [](const Bytes &req) {
        kel_query_list_t q;
        std::memcpy(&q, req.data() + offsetof(if_kel_t, kel_query_list), sizeof q);
        reinterpret_cast<unsigned char *>(q.kel_id_list.id_list)[0] = 0xF6;  // -10
        q.ret = 0;
        return record(&q, sizeof q);
    };
    Outcome r = run(d, words("-j temp read 1 0x48"));
    ASSERT_EQ(r.status, 0) << r.err;
    Json j = Json::parse(r.out);
    EXPECT_EQ(j["celsius"], -10);
    EXPECT_EQ(j["sensor"], 1);
    // First the sensor is pointed at register 0, then one byte is read.
    std::vector<Bytes> sent = d.sent();
    ASSERT_EQ(sent.size(), 2u);
    if_kel_t w;
    std::memcpy(&w, sent[0].data(), std::min(sizeof w, sent[0].size()));
    EXPECT_EQ(w.kel_cmd, KEL_TEMP1_WRITE);
    std::uint32_t count = w.kel_query_list.kel_id_list.rule_num;  // packed: read by value
    int dev = w.dev;
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(dev, 0x48);
    EXPECT_NE(run(d, words("temp read 1 0x48")).out.find("-10 \u00b0C"), std::string::npos);
    EXPECT_NE(run(d, words("temp read 1 0x48 -d")).out.find("f6"), std::string::npos);
}

TEST(LbgMirrorShow, NameTheRulesThatUseThemAndWhatKelfdCannotReport) {
    FakeDaemon d;
    ASSERT_EQ(run(d, words("rule add lbg 2 in-port 3")).status, 0);
    ASSERT_EQ(run(d, words("rule add group 4 lbg 2 in-port 4")).status, 0);
    ASSERT_EQ(run(d, words("rule add mirror 10 protocol udp")).status, 0);

    Json lbg = Json::parse(run(d, words("-j lbg show 2")).out);
    EXPECT_EQ(lbg["lbg"], 2);
    EXPECT_TRUE(lbg["ports"].is_null());
    ASSERT_EQ(lbg["rules"].size(), 2u);
    EXPECT_EQ(lbg["rules"][1]["group"], 4);
    Outcome text = run(d, words("lbg show 2"));
    EXPECT_NE(text.out.find("group 0: 1; group 4: 2\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("not reported"), std::string::npos) << text.out;
    EXPECT_NE(run(d, words("lbg show 4")).out.find("rules   none"), std::string::npos);
    EXPECT_EQ(run(d, words("lbg show 7")).status, 1);

    Json m = Json::parse(run(d, words("-j mirror show 10")).out);
    EXPECT_EQ(m["mirror_port"], 10);
    EXPECT_TRUE(m["vlan"].is_null());
    ASSERT_EQ(m["rules"].size(), 1u);
    EXPECT_EQ(m["rules"][0]["id"], 3);
    EXPECT_EQ(run(d, words("mirror show 11")).status, 1);
}

}  // namespace
}  // namespace kelfctl::test

// Rule transactions through the real kelfd and kelfctl: an apply is seen by
// frames whole or not at all, waits for another client's transaction, and
// leaves nothing behind when interrupted or abandoned.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "background.h"
#include "daemon_process.h"
#include "pcap_files.h"
#include "testing/requests.h"

extern char **environ;

namespace {

using kelftest::DaemonProcess;
using kelftest::Frame;
using namespace std::chrono_literals;

DaemonProcess::Result kelfctl(const DaemonProcess &d, const std::vector<std::string> &args) {
    return d.run(KELFCTL_BINARY, args, 60s);
}

// `count` redirect rules from port 3, one per destination 192.0.2.(10+i),
// with ids from first_id, all to port `to`; 4000 to a group.
void write_rules(const std::string &path, int first_id, int count, int to) {
    std::ofstream f(path);
    f << "unit 0\n";
    for (int i = 0; i < count; ++i)
        f << "rule add group " << i / 4000 << " id " << first_id + i << " redirect " << to
          << " in-port 3 dst-ip 192.0.2." << 10 + i % 200 << " dport " << 1 + i / 200 << "\n";
}

// kelfctl running beside the test; stops it on every path.
struct Background : kelftest::Background {
    Background(const DaemonProcess &d, std::vector<std::string> args)
        : kelftest::Background(d.run_dir(), "bg", KELFCTL_BINARY, with_socket(d, std::move(args))) {
    }
    static std::vector<std::string> with_socket(const DaemonProcess &d,
                                                std::vector<std::string> a) {
        a.insert(a.begin(), {"-S", d.socket_path()});
        return a;
    }
};

int raw_status(const DaemonProcess &d, const void *req, std::size_t len) {
    std::int32_t v = -2;
    EXPECT_TRUE(d.client().status(req, len, &v));
    return v;
}

int begin(const DaemonProcess &d, std::uint32_t idle_ms = 0) {
    kel_x_begin_t b{KEL_X_TXN_BEGIN, 0, idle_ms};
    return raw_status(d, &b, sizeof b);
}

TEST(Transactions, FramesMeetTheOldFileOrTheNewOneWhileApplyAlternates) {
    DaemonProcess d;
    // The same 50 matches under other ids and to another port: each apply
    // removes 50 rules and adds 50, which one rule at a time would leave a
    // frame between the two meeting no rule at all (and flooded).
    const std::string a = d.run_dir() + "/a.conf", b = d.run_dir() + "/b.conf";
    write_rules(a, 1, 50, 5);
    write_rules(b, 101, 50, 6);
    std::vector<Frame> frames;
    for (int i = 0; i < 50; ++i) {
        Frame f = kelftest::udp_frame(static_cast<std::uint8_t>(10 + i), 0x55);
        f[36] = 0, f[37] = 1;  // dport 1
        frames.push_back(f);
    }
    const std::string cap = d.run_dir() + "/in.pcap";
    kelftest::write_pcap(cap, frames);
    ASSERT_EQ(kelfctl(d, {"apply", a}).status, 0);

    std::atomic<bool> stop{false};
    std::atomic<int> seen{0}, wrong{0};
    std::string first_wrong;
    std::thread replay([&] {
        for (int k = 0; !stop; ++k) {
            auto r = d.run(FMSIMCTL_BINARY,
                           {"replay", cap, "in-port", "3", "-w",
                            d.run_dir() + "/out" + std::to_string(k % 2), "--trace", "--replace"});
            std::istringstream lines(r.out);
            for (std::string l; std::getline(lines, l);) {
                auto j = nlohmann::json::parse(l, nullptr, false);
                if (!j.is_object() || !j.contains("egress")) continue;
                ++seen;
                const auto &e = j["egress"];
                if (e.size() == 1 && (e[0]["port"] == 5 || e[0]["port"] == 6)) continue;
                if (wrong++ == 0) first_wrong = l;
            }
        }
    });
    int applies = 0;
    for (int k = 0; k < 20; ++k, ++applies) {
        auto r = kelfctl(d, {"apply", k % 2 ? a : b});
        if (r.status != 0) {
            ADD_FAILURE() << r.err;
            break;
        }
        EXPECT_EQ(r.err, "");
    }
    stop = true;
    replay.join();
    EXPECT_EQ(applies, 20);
    EXPECT_GT(seen.load(), 0);
    EXPECT_EQ(wrong.load(), 0) << "of " << seen << " frames; first: " << first_wrong;
}

TEST(Transactions, AnApplyWaitsForTheUnitsTransactionAndAnInterruptLeavesTheOldRules) {
    DaemonProcess d;
    const std::string a = d.run_dir() + "/a.conf", b = d.run_dir() + "/b.conf";
    write_rules(a, 1, 20, 5);
    write_rules(b, 1, 20000, 6);
    ASSERT_EQ(kelfctl(d, {"apply", a}).status, 0);

    // Another client holds the unit: the apply waits, then goes on whole.
    int tok = begin(d);
    ASSERT_GT(tok, 0);
    {
        Background apply(d, {"apply", a});
        ASSERT_TRUE(apply.wait_err("holds unit 0: waiting")) << apply.err();
        EXPECT_TRUE(apply.running());
        kel_x_token_t c{KEL_X_TXN_COMMIT, tok};
        EXPECT_EQ(raw_status(d, &c, sizeof c), 0);
        EXPECT_EQ(apply.wait(), 0) << apply.err();
    }

    // Ctrl-C: the unit holds one file or the other, never part of the new
    // one; once the apply holds the unit, the old one, and kelfctl says so.
    // -d prints each change as it is staged: the apply holds the unit.
    Background big(d, {"-d", "apply", b});
    ASSERT_TRUE(big.wait_out("rule add", 20s)) << big.err();
    big.signal(SIGINT);
    int st = big.wait();
    bool old = kelfctl(d, {"check", a}).status == 0, now = kelfctl(d, {"check", b}).status == 0;
    EXPECT_NE(old, now) << big.err();
    if (now) GTEST_SKIP() << "the apply committed before the interrupt came";
    EXPECT_NE(st, 0);
    EXPECT_NE(big.err().find("interrupted"), std::string::npos) << big.err();
}

TEST(Transactions, AnAbandonedTransactionEndsAfterItsBoundAndRefusalsSayWhy) {
    DaemonProcess d;
    int tok = begin(d, 300);
    ASSERT_GT(tok, 0);
    std::vector<unsigned char> rec(sizeof(kel_x_envelope_t) + sizeof(if_kel_t));
    kel_x_envelope_t env{KEL_X_TXN, tok};
    if_kel_t add = kelftest::request(KEL_SET_DROP);
    add.kel_mem.rule_id = 9;
    std::memcpy(rec.data(), &env, sizeof env);
    std::memcpy(rec.data() + sizeof env, &add, sizeof add);
    EXPECT_EQ(raw_status(d, rec.data(), rec.size()), 9);

    // Meanwhile kelfctl is refused, with kelfd's reason.
    auto r = kelfctl(d, {"rule", "flush"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("kelfd: kel: unit 0 has a transaction open"), std::string::npos) << r.err;

    // The client went away: the bound passes and nothing it staged is left.
    ASSERT_TRUE(d.wait_out("aborted: no request came", 5s)) << d.out();
    auto list = kelfctl(d, {"-j", "rule", "list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out.find("\"id\":9"), std::string::npos) << list.out;
    EXPECT_EQ(kelfctl(d, {"rule", "flush"}).status, 0);
}

TEST(Transactions, ABatchGetsTheIdsKelfdWouldChooseOneRequestAtATime) {
    // kelfctl sends a batch's adds ahead of their answers, knowing the ids
    // kelfd will choose; a kelfd without extensions answers them one by
    // one. Both print and hold the same.
    const std::string batch =
        "rule add group 0 drop dst-ip 10.0.0.1\n"
        "rule add group 0 id 5 drop dst-ip 10.0.0.5\n"
        "rule add group 0 drop dst-ip 10.0.0.2\n"
        "rule add group 0 drop dst-ip 10.0.0.3\n"
        "rule add group 0 drop dst-ip 10.0.0.4\n"
        "rule add group 0 drop dst-ip 10.0.0.6\n"
        "rule delete group 0 id 2\n"
        "rule add group 0 drop dst-ip 10.0.0.7\n"
        "rule delete group 3 id 1\n"
        "rule add group 3 drop dst-ip 10.0.3.1\n"
        "rule add group 1 drop protocol udp dport 1001-1008\n"
        "rule list\n"
        "rule flush\n"
        "rule add group 0 drop dst-ip 10.0.0.8\n"
        "rule add group 1 drop dst-ip 10.0.1.8\n";
    std::string outs[2], lists[2];
    for (int plain = 0; plain < 2; ++plain) {
        DaemonProcess::Options o;
        if (plain) o.env["KELFD_EXTENSIONS"] = "0";
        DaemonProcess d(o);
        // A history: the automatic ids start past the ones handed out before.
        ASSERT_EQ(kelfctl(d, {"rule", "add", "group", "3", "drop", "dst-ip", "10.9.9.9"}).status,
                  0);
        ASSERT_EQ(kelfctl(d, {"rule", "add", "group", "0", "drop", "dst-ip", "10.9.9.8"}).status,
                  0);
        ASSERT_EQ(kelfctl(d, {"rule", "delete", "group", "0", "id", "1"}).status, 0);
        std::ofstream(d.run_dir() + "/b.txt") << batch;
        auto r = kelfctl(d, {"-b", d.run_dir() + "/b.txt"});
        EXPECT_EQ(r.status, 0) << r.err;
        outs[plain] = r.out;
        lists[plain] = kelfctl(d, {"rule", "list"}).out;
    }
    EXPECT_EQ(outs[0], outs[1]);
    EXPECT_EQ(lists[0], lists[1]);
    EXPECT_NE(outs[0].find("added rule 3 to group 0"), std::string::npos) << outs[0];
}

TEST(Transactions, ABatchRefusedAtItsCommitLeavesTheUnitFree) {
    DaemonProcess d;
    // Both adds travel together at the end; kelfd refuses the mirror rule
    // (no mirror 9), which --force sent past kelfctl's own check.
    std::ofstream(d.run_dir() + "/b.txt") << "rule add group 1 id 1 drop dst-ip 10.0.0.1\n"
                                             "rule add group 2 id 2 mirror 9 dst-ip 10.0.0.2\n";
    auto r = kelfctl(d, {"-f", "-b", d.run_dir() + "/b.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("kelfd refused 1 of"), std::string::npos) << r.err;
    // Nothing of it took force, and the unit is not held by it.
    auto add = kelfctl(d, {"rule", "add", "group", "3", "id", "1", "drop"});
    EXPECT_EQ(add.status, 0) << add.err;
    EXPECT_EQ(kelfctl(d, {"-j", "rule", "list", "group", "1"}).out.find("\"id\""),
              std::string::npos);
}

TEST(Transactions, AKelfdWithoutExtensionsStillAppliesOneByOneAndKelfctlSaysSo) {
    DaemonProcess::Options o;
    o.env["KELFD_EXTENSIONS"] = "0";
    DaemonProcess d(o);
    const std::string a = d.run_dir() + "/a.conf";
    write_rules(a, 1, 10, 5);
    auto r = kelfctl(d, {"apply", a});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("kelfd has no transactions: the apply of " + a + " is not atomic"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(kelfctl(d, {"check", a}).status, 0);
    EXPECT_NE(kelfctl(d, {"rule", "add", "group", "0", "id", "1", "drop"}).err.find("in use"),
              std::string::npos);
}

}  // namespace

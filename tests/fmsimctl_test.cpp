// The fmsimctl binary against fmsim inside the real kelfd: traces of each
// rule action, pcap replay and capture, and the failures a user meets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "daemon_process.h"
#include "pcap_files.h"

extern char **environ;

namespace {

using kelftest::DaemonProcess;
using nlohmann::json;
using namespace std::chrono_literals;
using kelftest::Frame;
using kelftest::read_pcap;
using kelftest::udp_frame;
using kelftest::write_pcap;

DaemonProcess::Result kelfctl(const DaemonProcess &d, const std::vector<std::string> &args) {
    auto r = d.run(KELFCTL_BINARY, args);
    std::string line = "kelfctl";
    for (const auto &a : args) line += " " + a;
    EXPECT_EQ(r.status, 0) << line << ": " << r.err;
    return r;
}

DaemonProcess::Result fmsimctl(const DaemonProcess &d, const std::vector<std::string> &args) {
    return d.run(FMSIMCTL_BINARY, args);
}

// Traces a UDP frame into port in and returns the JSON document.
json trace(const DaemonProcess &d, int in, const std::string &dst_ip = "192.0.2.2") {
    auto r = fmsimctl(d, {"-j", "trace", "in-port", std::to_string(in), "src-ip", "192.0.2.1",
                          "dst-ip", dst_ip, "dport", "80"});
    EXPECT_EQ(r.status, 0) << r.err;
    return json::parse(r.out);
}

std::vector<int> egress_ports(const json &t, const std::string &kind) {
    std::vector<int> p;
    for (const auto &e : t["egress"])
        if (e["kind"] == kind) p.push_back(e["port"]);
    std::sort(p.begin(), p.end());
    return p;
}

std::uint64_t port_rx(const DaemonProcess &d, int port) {
    auto r = fmsimctl(d, {"-j", "ports"});
    EXPECT_EQ(r.status, 0) << r.err;
    json j = json::parse(r.out);
    for (const auto &p : j["ports"])
        if (p["port"] == port) return p["rx_frames"];
    ADD_FAILURE() << "no port " << port;
    return 0;
}

TEST(Fmsimctl, TraceOfARedirectLeavesByItsPortAndNamesTheRule) {
    DaemonProcess d;
    kelfctl(d, {"rule", "add", "redirect", "7", "in-port", "3"});
    json t = trace(d, 3);
    EXPECT_EQ(egress_ports(t, "redirect"), std::vector<int>{7});
    ASSERT_EQ(t["egress"].size(), 1u);
    EXPECT_EQ(t["egress"][0]["length"], 60);
    EXPECT_EQ(t["egress"][0]["hex"].get<std::string>().size(), 120u);
    ASSERT_EQ(t["rules"].size(), 1u);
    EXPECT_EQ(t["rules"][0]["group"], 0);
    EXPECT_EQ(t["rules"][0]["id"], 1);
    EXPECT_EQ(t["rules"][0]["action"], "redirect 7");
    EXPECT_EQ(t["rules"][0]["deciding"], true);
    EXPECT_EQ(t["dropped"], false);
    EXPECT_TRUE(t["reason"].is_null());
    EXPECT_EQ(t["parsed"]["dst_ip"], "192.0.2.2");

    // The text form says the same for people.
    auto text = fmsimctl(d, {"trace", "in-port", "3", "dst-mac", "02:00:00:00:00:09"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("group 0 id 1  redirect 7  (deciding)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("port 7  redirect  60 bytes  02 00 00 00 00 09"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("result   forwarded to 1 port"), std::string::npos) << text.out;
}

TEST(Fmsimctl, TraceOfADropAndOfAMirrorCopy) {
    DaemonProcess d;
    kelfctl(d, {"mirror", "add", "10"});
    kelfctl(d, {"rule", "add", "group", "0", "mirror", "10", "dst-ip", "192.0.2.50"});
    kelfctl(d, {"rule", "add", "group", "1", "drop", "in-port", "4"});
    json t = trace(d, 4, "192.0.2.50");
    EXPECT_EQ(t["dropped"], true);
    EXPECT_EQ(t["reason"], "rule-drop");
    ASSERT_EQ(t["rules"].size(), 2u);  // group order
    EXPECT_EQ(t["rules"][0]["group"], 0);
    EXPECT_EQ(t["rules"][0]["action"], "mirror 10");
    EXPECT_EQ(t["rules"][1]["group"], 1);
    EXPECT_EQ(t["rules"][1]["action"], "drop");
    EXPECT_EQ(t["rules"][1]["deciding"], true);
    // The mirror's copy leaves although the frame itself is dropped.
    ASSERT_EQ(egress_ports(t, "mirror"), std::vector<int>{10});
    EXPECT_EQ(t["egress"][0]["copy"], true);
    EXPECT_EQ(t["egress"][0]["source"], 10);

    json plain = trace(d, 4, "192.0.2.51");
    EXPECT_EQ(plain["reason"], "rule-drop");
    EXPECT_TRUE(plain["egress"].empty());
}

TEST(Fmsimctl, TraceOfALoadBalancingGroupAndOfAMulticastRedirect) {
    DaemonProcess d;
    kelfctl(d, {"lbg", "add", "20,21"});
    kelfctl(d, {"rule", "add", "lbg", "0", "in-port", "5"});
    kelfctl(d, {"mcast", "add"});
    kelfctl(d, {"mcast", "add-listener", "0", "port", "12", "vlan", "1"});
    kelfctl(d, {"mcast", "add-listener", "0", "port", "13", "vlan", "1"});
    auto group = json::parse(d.run(KELFCTL_BINARY, {"-j", "mcast", "show", "0"}).out);
    // The group's logical port is no card port: --force lets redirect name it.
    kelfctl(d, {"-f", "rule", "add", "redirect", std::to_string(group["port"].get<int>()),
                "in-port", "6"});

    json lb = trace(d, 5);
    auto lb_ports = egress_ports(lb, "lbg");
    ASSERT_EQ(lb_ports.size(), 1u) << lb.dump();
    EXPECT_TRUE(lb_ports[0] == 20 || lb_ports[0] == 21);
    EXPECT_EQ(lb["lbg"]["group"], 0);
    EXPECT_EQ(lb["rules"][0]["action"], "lbg 0");

    json mc = trace(d, 6);
    EXPECT_EQ(egress_ports(mc, "multicast"), (std::vector<int>{12, 13})) << mc.dump();
    for (const auto &e : mc["egress"]) EXPECT_EQ(e["source"], 0);
    EXPECT_EQ(mc["dropped"], false);
}

TEST(Fmsimctl, ReplayWritesWhatLeavesEachPortAndCountsEachRule) {
    DaemonProcess d;
    kelfctl(d, {"rule", "add", "group", "0", "id", "1", "drop", "dst-ip", "192.0.2.99"});
    kelfctl(d, {"rule", "add", "group", "0", "id", "2", "redirect", "7", "in-port", "3"});
    std::vector<Frame> in = {udp_frame(2, 0xA1), udp_frame(99, 0xA2), udp_frame(2, 0xA3),
                             udp_frame(2, 0xA4)};
    std::string cap = d.run_dir() + "/in.pcap", out = d.run_dir() + "/out";
    write_pcap(cap, in);

    auto r = fmsimctl(d, {"-j", "replay", cap, "in-port", "3", "-w", out});
    ASSERT_EQ(r.status, 0) << r.err;
    json s = json::parse(r.out);
    EXPECT_EQ(s["frames"], 4);
    EXPECT_EQ(s["dropped"], 1);
    EXPECT_EQ(s["drops"]["rule-drop"], 1);
    ASSERT_EQ(s["egress"].size(), 1u);
    EXPECT_EQ(s["egress"][0]["port"], 7);
    EXPECT_EQ(s["egress"][0]["frames"], 3);
    EXPECT_EQ(s["rules"], json::parse(R"([{"group":0,"id":1,"frames":1,"deciding":1},
                                          {"group":0,"id":2,"frames":3,"deciding":3}])"));
    EXPECT_EQ(read_pcap(out + "/port-7.pcap"), (std::vector<Frame>{in[0], in[2], in[3]}));
    EXPECT_EQ(std::filesystem::directory_iterator(out)->path().filename(), "port-7.pcap");

    // --trace: one trace per frame as JSON lines, then the summary.
    auto tr = fmsimctl(d, {"replay", cap, "in-port", "3", "-w", out + "2", "--trace"});
    ASSERT_EQ(tr.status, 0) << tr.err;
    std::istringstream lines(tr.out);
    std::vector<json> docs;
    for (std::string l; std::getline(lines, l);) docs.push_back(json::parse(l));
    ASSERT_EQ(docs.size(), 5u);
    EXPECT_EQ(docs[1]["reason"], "rule-drop");
    EXPECT_EQ(docs[4]["summary"]["egress"][0]["frames"], 3);
    EXPECT_EQ(read_pcap(out + "2/port-7.pcap").size(), 3u);

    // A directory with an earlier replay's port files: refused, or emptied
    // of them with --replace, so that no file of the earlier run is left.
    std::ofstream(out + "/port-9.pcap") << "old";
    auto again = fmsimctl(d, {"replay", cap, "in-port", "3", "-w", out});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("--replace"), std::string::npos) << again.err;
    ASSERT_EQ(fmsimctl(d, {"replay", cap, "in-port", "3", "-w", out, "--replace"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(out + "/port-9.pcap"));
    EXPECT_EQ(read_pcap(out + "/port-7.pcap").size(), 3u);
}

// fmsimctl capture running beside the test, its output in files.
class Capture {
public:
    Capture(const DaemonProcess &d, std::vector<std::string> args)
        : err_(d.run_dir() + "/capture.err") {
        args.insert(args.begin(), {FMSIMCTL_BINARY, "-S", d.run_dir() + "/fmsim.sock", "capture"});
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (d.run_dir() + "/capture.out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, FMSIMCTL_BINARY, &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Capture() {
        if (pid_ > 0 && wait(2s) < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // Until fmsim has taken the capture.
    bool ready() const {
        for (int i = 0; i < 400; ++i) {
            if (kelftest::read_file(err_).find("capturing") != std::string::npos) return true;
            std::this_thread::sleep_for(25ms);
        }
        return false;
    }
    void interrupt() const {
        if (pid_ > 0) ::kill(pid_, SIGINT);
    }
    int wait(std::chrono::milliseconds limit) {
        for (auto end = std::chrono::steady_clock::now() + limit;
             std::chrono::steady_clock::now() < end;) {
            int st = 0;
            if (pid_ > 0 && ::waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    std::string err_;
    pid_t pid_ = -1;
};

TEST(Fmsimctl, CaptureSeesWhatSendMadeLeaveUntilCountOrCtrlC) {
    DaemonProcess d;
    kelfctl(d, {"rule", "add", "redirect", "7", "in-port", "3"});
    std::vector<Frame> in = {udp_frame(2, 1), udp_frame(2, 2), udp_frame(2, 3)};
    std::string cap = d.run_dir() + "/in.pcap";
    write_pcap(cap, in);

    std::string counted = d.run_dir() + "/counted.pcap", open = d.run_dir() + "/open.pcap";
    Capture two(d, {"7", "-w", counted, "-c", "2"});
    ASSERT_TRUE(two.ready());
    Capture all(d, {"7", "-w", open});
    ASSERT_TRUE(all.ready());
    auto s = fmsimctl(d, {"send", "in-port", "3", cap});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(s.out, "sent 3 frames into port 3; 3 left the switch\n");
    EXPECT_EQ(two.wait(10s), 0);
    EXPECT_EQ(read_pcap(counted), (std::vector<Frame>{in[0], in[1]}));

    std::this_thread::sleep_for(300ms);  // the frames reach the open capture
    all.interrupt();
    EXPECT_EQ(all.wait(10s), 0);
    EXPECT_EQ(read_pcap(open), in);
}

TEST(Fmsimctl, FailuresExitOneTwoOrThreeAndSendNothing) {
    DaemonProcess d;
    auto bad_port = fmsimctl(d, {"trace", "in-port", "99"});
    EXPECT_EQ(bad_port.status, 1);
    EXPECT_EQ(bad_port.err, "fmsimctl: unit 0 has no port 99\n");
    auto bad_word = fmsimctl(d, {"trace", "in-port", "3", "vlna", "5"});
    EXPECT_EQ(bad_word.status, 2);
    EXPECT_NE(bad_word.err.find("see 'fmsimctl trace help'"), std::string::npos) << bad_word.err;
    EXPECT_EQ(fmsimctl(d, {"tr", "help"}).status, 0);
    auto version = fmsimctl(d, {"--version"});
    EXPECT_EQ(version.out.rfind("fmsimctl ", 0), 0u) << version.out;

    // A capture cut off in its third frame: refused whole, nothing sent.
    std::string cap = d.run_dir() + "/cut.pcap";
    write_pcap(cap, {udp_frame(2, 1), udp_frame(2, 2), udp_frame(2, 3)});
    std::filesystem::resize_file(cap, std::filesystem::file_size(cap) - 10);
    std::uint64_t before = port_rx(d, 3);
    auto cut = fmsimctl(d, {"send", "in-port", "3", cap});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find(cap + ": frame 3"), std::string::npos) << cut.err;
    EXPECT_EQ(port_rx(d, 3), before);
    std::string junk = d.run_dir() + "/junk.pcap";
    std::ofstream(junk) << "not a capture";
    EXPECT_EQ(fmsimctl(d, {"replay", junk, "in-port", "3", "-w", d.run_dir() + "/o"}).status, 1);
    EXPECT_EQ(port_rx(d, 3), before);

    d.signal(SIGTERM);
    ASSERT_NE(d.wait_exit(20s), -1);
    EXPECT_FALSE(std::filesystem::exists(d.run_dir() + "/fmsim.sock"));  // removed at exit
    auto gone = fmsimctl(d, {"ports"});
    EXPECT_EQ(gone.status, 3);
    EXPECT_NE(gone.err.find("no fmsim answers on " + d.run_dir() + "/fmsim.sock"),
              std::string::npos)
        << gone.err;
}

TEST(Fmsimctl, StatsCountTheCompilesAndAppliesOfARuleChange) {
    DaemonProcess d;
    auto stats = [&d] {
        auto r = fmsimctl(d, {"-j", "stats"});
        EXPECT_EQ(r.status, 0) << r.err;
        return json::parse(r.out, nullptr, false);
    };
    json before = stats();
    ASSERT_EQ(before["switches"].size(), 1u) << before.dump();
    kelfctl(d, {"rule", "add", "redirect", "7", "in-port", "3"});
    json after = stats();
    ASSERT_EQ(after["switches"].size(), 1u) << after.dump();
    const json &b = before["switches"][0], &a = after["switches"][0];
    EXPECT_EQ(a["unit"], 0);
    EXPECT_GT(a["compiles"].get<int>(), b["compiles"].get<int>()) << after.dump();
    EXPECT_GT(a["applies"].get<int>(), b["applies"].get<int>()) << after.dump();
    EXPECT_EQ(a["rules"].get<int>(), b["rules"].get<int>() + 1) << after.dump();

    auto text = fmsimctl(d, {"stats"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out.rfind("UNIT  COMPILES  APPLIES  RULES\n0     ", 0), 0u) << text.out;
}

// Raw bytes on the control socket: a bad request gets an error reply and
// the server goes on serving.
TEST(Fmsimctl, ControlSocketIsPrivateAndSurvivesMalformedRequests) {
    DaemonProcess d;
    std::string path = d.run_dir() + "/fmsim.sock";
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    auto exchange = [&](const std::vector<std::uint8_t> &bytes) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::shutdown(fd, SHUT_WR);
        std::vector<std::uint8_t> reply(4096);
        ssize_t n = 0, r;
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        while ((r = ::read(fd, reply.data() + n, reply.size() - static_cast<std::size_t>(n))) > 0)
            n += r;
        ::close(fd);
        reply.resize(static_cast<std::size_t>(n));
        return reply;
    };
    auto is_error = [](const std::vector<std::uint8_t> &r) { return r.size() > 5 && r[4] == 1; };
    EXPECT_TRUE(is_error(exchange({0xFF, 0xFF, 0xFF, 0xFF})));        // length beyond the limit
    EXPECT_TRUE(is_error(exchange({1, 0, 0, 0, 99})));                // no such operation
    EXPECT_TRUE(is_error(exchange({6, 0, 0, 0, 3, 0, 0, 0, 0, 3})));  // send cut short
    EXPECT_TRUE(is_error(
        exchange({18, 0, 0, 0, 3, 0, 0, 0, 0, 3, 0, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF})));
    EXPECT_TRUE(exchange({9, 0, 0, 0, 2}).empty());  // cut off: no reply; the server closes it
    EXPECT_EQ(fmsimctl(d, {"ports"}).status, 0);
}

}  // namespace

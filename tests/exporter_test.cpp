// The Prometheus exporter against the real kelfd, scraped by a real
// Prometheus server: counters rise by exactly the frames sent, the scrape
// is valid exposition text, every expression of the dashboard evaluates,
// kelfd away is one clear metric; and kelfd's read group and audit trail.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "background.h"
#include "daemon_process.h"
#include "http_client.h"
#include "pcap_files.h"

namespace {

using kelftest::Background;
using kelftest::DaemonProcess;
using namespace std::chrono_literals;

constexpr const char kPrometheus[] = "/usr/bin/prometheus";
constexpr const char kPromtool[] = "/usr/bin/promtool";

using kelftest::free_port;
using kelftest::http_get;

// Scrapes until the text holds want.
std::string scrape_until(int port, const std::string &want, std::chrono::seconds limit = 20s) {
    std::string last;
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(100ms)) {
        last = http_get(port, "/metrics");
        if (last.find(want) != std::string::npos) break;
    }
    return last;
}

struct Exporter {
    int port = free_port();
    Background proc;
    Exporter(const DaemonProcess &d, const std::string &config)
        : proc(d.run_dir(), "exporter", EXPORTER_BINARY,
               {"--web.listen-address=127.0.0.1:" + std::to_string(port),
                "--socket=" + d.socket_path(), "--config=" + config, "--rules=named"}) {}
};

// The value of an instant query (the first series), or nullopt.
std::optional<double> query(const DaemonProcess &d, int prom, const std::string &expr) {
    auto r =
        d.run(kPromtool, {"query", "instant", "http://127.0.0.1:" + std::to_string(prom), expr});
    const auto at = r.out.find("=> ");
    if (r.status != 0 || at == std::string::npos) return std::nullopt;
    return std::stod(r.out.substr(at + 3));
}

// Every "expr" in a Grafana dashboard.
void exprs_of(const nlohmann::json &j, std::vector<std::string> &out) {
    if (j.is_object()) {
        for (auto it = j.begin(); it != j.end(); ++it) {
            if (it.key() == "expr" && it.value().is_string()) out.push_back(it.value());
            exprs_of(it.value(), out);
        }
    } else if (j.is_array()) {
        for (const auto &x : j) exprs_of(x, out);
    }
}

TEST(Exporter, PrometheusSeesTheFramesSentAndTheDashboardEvaluates) {
    if (::access(kPrometheus, X_OK) != 0 || ::access(kPromtool, X_OK) != 0)
        GTEST_SKIP() << "needs Debian's prometheus (prometheus and promtool)";
    DaemonProcess d;
    const std::string conf = d.run_dir() + "/kelfd.conf";
    std::ofstream(conf) << "rule add group 0 id 5 permit in-port 3 comment \"from-3\"\n";
    ASSERT_EQ(d.run(KELFCTL_BINARY, {"apply", conf}).status, 0);
    Exporter ex(d, conf);
    std::string text = scrape_until(ex.port, "kelfd_up 1");
    ASSERT_NE(text.find("kelfd_up 1"), std::string::npos) << text << ex.proc.err();
    EXPECT_NE(text.find("kelfd_drift{unit=\"0\"} 0"), std::string::npos) << text;
    EXPECT_NE(text.find("name=\"from-3\""), std::string::npos) << text;
    const std::string scraped = d.run_dir() + "/scrape.txt";
    std::ofstream(scraped) << text;
    auto check = d.run("/bin/sh", {"-c", std::string(kPromtool) + " check metrics < " + scraped});
    EXPECT_EQ(check.status, 0) << check.out << check.err;

    const int prom = free_port();
    const std::string cfg = d.run_dir() + "/prometheus.yml";
    std::ofstream(cfg) << "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: kelfd\n"
                          "    static_configs:\n      - targets: ['127.0.0.1:"
                       << ex.port << "']\n";
    Background p(d.run_dir(), "prometheus", kPrometheus,
                 {"--config.file=" + cfg, "--storage.tsdb.path=" + d.run_dir() + "/tsdb",
                  "--web.listen-address=127.0.0.1:" + std::to_string(prom)});
    const std::string rx = "kelfd_port_receive_frames_total{port=\"3\",class=\"unicast\"}";
    const std::string hits = "kelfd_rule_frames_total{id=\"5\"}";
    std::optional<double> rx0, hits0;
    for (auto end = std::chrono::steady_clock::now() + 30s;
         (!rx0 || !hits0) && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(200ms))
        rx0 = query(d, prom, rx), hits0 = query(d, prom, hits);
    ASSERT_TRUE(rx0 && hits0) << p.err();

    std::vector<kelftest::Frame> frames;
    for (int i = 0; i < 7; ++i)
        frames.push_back(kelftest::udp_frame(9, static_cast<std::uint8_t>(i)));
    const std::string pcap = d.run_dir() + "/seven.pcap";
    kelftest::write_pcap(pcap, frames);
    auto sent = d.run(FMSIMCTL_BINARY, {"send", "in-port", "3", pcap});
    ASSERT_EQ(sent.status, 0) << sent.err;
    std::optional<double> rx1, hits1;
    for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(200ms)) {
        rx1 = query(d, prom, rx), hits1 = query(d, prom, hits);
        if (rx1 && hits1 && *rx1 == *rx0 + 7 && *hits1 == *hits0 + 7) break;
    }
    EXPECT_EQ(rx1.value_or(-1), *rx0 + 7);
    EXPECT_EQ(hits1.value_or(-1), *hits0 + 7);

    std::ifstream dash(std::string(KELF_SOURCE_DIR) + "/packaging/grafana/kelfd-dashboard.json");
    ASSERT_TRUE(dash.good());
    std::vector<std::string> exprs;
    exprs_of(nlohmann::json::parse(dash), exprs);
    EXPECT_FALSE(exprs.empty());
    for (std::string e : exprs) {
        // Grafana's own variables, as it would fill them in.
        e = std::regex_replace(e, std::regex(R"(\$__(rate_interval|interval|range))"), "1m");
        e = std::regex_replace(e, std::regex(R"(\$\{?[A-Za-z_]+\}?)"), ".*");
        auto r =
            d.run(kPromtool, {"query", "instant", "http://127.0.0.1:" + std::to_string(prom), e});
        EXPECT_EQ(r.status, 0) << e << "\n" << r.err;
    }
}

// Stops the kelfd a test started by hand in a daemon's run directory.
struct StopKelfd {
    const DaemonProcess &d;
    ~StopKelfd() { d.run(KELFD_BINARY_PATH, {"stop"}); }
};

TEST(Exporter, KelfdAwayIsOneMetricAndTheExporterRecovers) {
    DaemonProcess d;
    Exporter ex(d, "");
    ASSERT_NE(scrape_until(ex.port, "kelfd_up 1").find("kelfd_up 1"), std::string::npos)
        << ex.proc.err();
    d.signal(SIGTERM);
    ASSERT_NE(d.wait_exit(20s), -1);
    std::string away = scrape_until(ex.port, "kelfd_up 0");
    EXPECT_NE(away.find("kelfd_up 0"), std::string::npos) << away;
    EXPECT_EQ(away.find("kelfd_port_"), std::string::npos) << away;
    StopKelfd stop{d};
    ASSERT_EQ(d.run(KELFD_BINARY_PATH, {}).status, 0);
    EXPECT_NE(scrape_until(ex.port, "kelfd_up 1", 30s).find("kelfd_up 1"), std::string::npos);
    EXPECT_TRUE(ex.proc.running());
}

// A user and group of the test's own, removed on every path.
struct TestAccount {
    std::string group = "kelftest-r" + std::to_string(::getpid());
    std::string user = "kelftest-u" + std::to_string(::getpid());
    bool made = false;
    uid_t uid = 0;
    gid_t gid = 0;
    explicit TestAccount(const DaemonProcess &d) {
        if (d.run("/usr/sbin/groupadd", {"--system", group}).status != 0) return;
        if (d.run("/usr/sbin/useradd", {"--system", "--no-create-home", "--gid", group, user})
                .status != 0)
            return;
        const passwd *pw = ::getpwnam(user.c_str());
        const struct group *gr = ::getgrnam(group.c_str());
        if (pw == nullptr || gr == nullptr) return;
        uid = pw->pw_uid, gid = gr->gr_gid, made = true;
    }
    ~TestAccount() {
        kelftest::DaemonProcess::Result r{};
        (void)r;
        std::system(("/usr/sbin/userdel " + user + " 2>/dev/null").c_str());
        std::system(("/usr/sbin/groupdel " + group + " 2>/dev/null").c_str());
    }
};

TEST(ReadGroup, AMemberReadsAndIsRefusedEveryChangeAndRootsChangesAreAudited) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a user and group";
    DaemonProcess plain;  // only to run the account tools
    TestAccount acct(plain);
    ASSERT_TRUE(acct.made);
    DaemonProcess::Options o;
    o.env["KELFD_READ_GROUP"] = acct.group;
    DaemonProcess d(o);
    struct stat st {};
    ASSERT_EQ(::stat(d.socket_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, acct.gid);
    ::chmod(d.run_dir().c_str(), 0755);  // the test's own directory: the member reaches the socket

    auto as_member = [&](std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"--reuid=" + std::to_string(acct.uid), "--regid=" + std::to_string(acct.gid),
                     "--clear-groups", KELFCTL_BINARY, "-S", d.socket_path()});
        return d.run("/usr/bin/setpriv", args);
    };
    ASSERT_EQ(
        d.run(KELFCTL_BINARY, {"rule", "add", "id", "9", "drop", "src-ip", "192.0.2.9"}).status, 0);
    EXPECT_TRUE(d.wait_out("kelfd: audit: uid 0 "));
    const auto audits = [&] {
        std::string out = d.out();
        std::size_t n = 0;
        for (auto at = out.find("kelfd: audit:"); at != std::string::npos;
             at = out.find("kelfd: audit:", at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(audits(), 1u) << d.out();
    EXPECT_NE(d.out().find("command 5 unit 0 group 0 id 9: 9"), std::string::npos) << d.out();

    auto read = as_member({"rule", "list"});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_NE(read.out.find("192.0.2.9"), std::string::npos) << read.out;
    auto change = as_member({"rule", "add", "drop", "src-ip", "192.0.2.10"});
    EXPECT_EQ(change.status, 1) << change.err;
    EXPECT_NE(change.err.find("may only read"), std::string::npos) << change.err;
    EXPECT_EQ(as_member({"rule", "delete", "id", "9"}).status, 1);
    // Reads make no audit line, and refused changes change nothing.
    EXPECT_EQ(audits(), 1u) << d.out();
    EXPECT_NE(d.run(KELFCTL_BINARY, {"rule", "list"}).out.find("192.0.2.9"), std::string::npos);
}

}  // namespace

// fmsim's control socket in process: the socket file's life and a server
// that no client can hold up. Requests over it are the process tests'.
#include "control.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "switch_setup.h"

namespace {

namespace control = fmsim::control;

class ControlServer : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/fmsim_control_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/fmsim.sock";
    }
    void TearDown() override {
        control::stop_server();
        std::filesystem::remove_all(dir_);
    }
    // A connected client socket, or -1.
    int connect_client() const {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    // A listening socket at the path that is not fmsim.
    int listener() const {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, 1), 0);
        return fd;
    }
    std::string dir_, path_;
};

TEST_F(ControlServer, SocketIsPrivateWhateverTheUmaskAndGoesWithTheServer) {
    for (mode_t mask : {0000, 0277}) {
        mode_t old = ::umask(mask);
        std::string why;
        bool ok = control::start_server(path_, &why);
        ::umask(old);
        ASSERT_TRUE(ok) << why;
        struct stat st {};
        ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "umask " << mask;
        control::stop_server();
        EXPECT_FALSE(std::filesystem::exists(path_));
    }
}

TEST_F(ControlServer, NeverReplacesALiveListenerNorAFileButALeftoverSocket) {
    int live = listener();
    std::string why;
    EXPECT_FALSE(control::start_server(path_, &why));
    EXPECT_EQ(why, "another fmsim answers on " + path_);
    ::close(live);  // the file stays: a socket nothing answers on

    ASSERT_TRUE(control::start_server(path_, &why)) << why;
    int c = connect_client();
    EXPECT_GE(c, 0);
    ::close(c);
    control::stop_server();

    std::ofstream(path_) << "not a socket";
    EXPECT_FALSE(control::start_server(path_, &why));
    EXPECT_EQ(why, path_ + " exists and is not a socket");
    EXPECT_TRUE(std::filesystem::is_regular_file(path_));
}

TEST_F(ControlServer, ASilentOrHalfSentClientHoldsUpNobody) {
    std::string why;
    ASSERT_TRUE(control::start_server(path_, &why)) << why;
    int silent = connect_client();
    int half = connect_client();
    ASSERT_GE(silent, 0);
    ASSERT_GE(half, 0);
    const std::uint8_t part[] = {40, 0, 0, 0, control::kTrace, 0};
    ASSERT_EQ(::write(half, part, sizeof part), static_cast<ssize_t>(sizeof part));

    int c = connect_client();
    ASSERT_GE(c, 0);
    const std::uint8_t hello[] = {1, 0, 0, 0, control::kHello};
    ASSERT_EQ(::write(c, hello, sizeof hello), static_cast<ssize_t>(sizeof hello));
    pollfd p{c, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1) << "no reply while other clients hang";
    std::uint8_t reply[64];
    ssize_t n = ::read(c, reply, sizeof reply);
    ASSERT_EQ(n, 13);  // length 9: ok, version, switches
    EXPECT_EQ(reply[4], control::kOk);
    std::uint32_t version;
    std::memcpy(&version, reply + 5, 4);
    EXPECT_EQ(version, control::kVersion);
    for (int fd : {silent, half, c}) ::close(fd);
}

TEST(ControlRequests, MalformedBodiesAreRefusedWithAReason) {
    auto reason = [](std::vector<std::uint8_t> b) {
        control::Handled h = control::handle(b.data(), b.size());
        EXPECT_FALSE(h.reply.empty());
        if (h.reply.empty() || h.reply[0] != control::kError) return std::string("(accepted)");
        return std::string(h.reply.begin() + 1, h.reply.end());
    };
    EXPECT_EQ(reason({}), "empty request");
    EXPECT_EQ(reason({77}), "unknown operation 77");
    EXPECT_EQ(reason({control::kHello, 0}), "hello takes nothing");
    EXPECT_EQ(reason({control::kTrace, 0, 0}), "trace: request too short");
    EXPECT_EQ(reason({control::kPorts, 9, 0, 0, 0}), "ports: unit 9 does not exist");
    EXPECT_EQ(reason({control::kCapture, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1}),
              "capture: malformed request");
}

TEST(ControlRequests, StatsGiveEachSwitchsCompilesAppliesAndRules) {
    fmsim_set_switches(2);
    fmsimtest::create_acl0();
    fm_aclValue v{};
    fm_aclParamExt p{};
    ASSERT_EQ(fmAddACLRuleExt(0, 0, 1, 0, &v, FM_ACL_ACTIONEXT_PERMIT, &p), FM_OK);
    fmsimtest::apply_acl0();
    ASSERT_EQ(fmCompileACL(0, nullptr, 0, 0), FM_OK);

    const std::uint8_t req[] = {control::kStats};
    control::Handled h = control::handle(req, sizeof req);
    ASSERT_EQ(h.reply.at(0), control::kOk) << std::string(h.reply.begin() + 1, h.reply.end());
    EXPECT_EQ(nlohmann::json::parse(h.reply.begin() + 1, h.reply.end()),
              nlohmann::json::parse(R"({"switches": [
                  {"unit": 0, "compiles": 2, "applies": 1, "rules": 1},
                  {"unit": 1, "compiles": 0, "applies": 0, "rules": 0}]})"));
    const std::uint8_t extra[] = {control::kStats, 0};
    h = control::handle(extra, sizeof extra);
    EXPECT_EQ(std::string(h.reply.begin() + 1, h.reply.end()), "stats takes nothing");
}

// The drift this guards against: a trace's stage lines said "load-balance"
// where its JSON (and fmsimctl's decoding of send reports) said "lbg".
TEST(ControlRequests, TraceLinesNameEachEgressAsItsJsonDoes) {
    fmsimtest::switch_up(1, 4);
    fm_LBGParams lp{8, FM_LBG_MODE_MAPPED};
    fm_int lbg = -1;
    ASSERT_EQ(fmCreateLBGExt(0, &lbg, &lp), FM_OK);
    fm_int bins[8] = {3, 3, 3, 3, 3, 3, 3, 3};
    fm_LBGDistributionMapRange r{0, 8, bins};
    ASSERT_EQ(fmSetLBGAttribute(0, lbg, FM_LBG_DISTRIBUTION_MAP_RANGE, &r), FM_OK);
    fm_uint32 active = FM_LBG_STATE_ACTIVE;
    ASSERT_EQ(fmSetLBGAttribute(0, lbg, FM_LBG_STATE, &active), FM_OK);
    fmsimtest::create_acl0();
    fm_aclValue v{};
    v.ethType = 0x88B5;
    v.ethTypeMask = 0xFFFF;
    fm_aclParamExt p{};
    p.lbgNumber = lbg;
    ASSERT_EQ(
        fmAddACLRuleExt(0, 0, 1, FM_ACL_MATCH_ETHERTYPE, &v, FM_ACL_ACTIONEXT_LOAD_BALANCE, &p),
        FM_OK);
    fmsimtest::apply_acl0();

    std::vector<std::string> kinds;
    for (std::uint8_t et_low : {0xB5, 0xB6}) {  // load-balanced, then flooded
        std::vector<std::uint8_t> req{control::kTrace, 0, 0, 0, 0, 1, 0, 0, 0};
        std::vector<std::uint8_t> frame(60, 0);
        frame[0] = 0x02, frame[5] = 0x02, frame[6] = 0x02, frame[11] = 0x01;
        frame[12] = 0x88, frame[13] = et_low;
        req.insert(req.end(), frame.begin(), frame.end());
        control::Handled h = control::handle(req.data(), req.size());
        ASSERT_EQ(h.reply.at(0), control::kOk) << std::string(h.reply.begin() + 1, h.reply.end());
        auto t = nlohmann::json::parse(h.reply.begin() + 1, h.reply.end());
        ASSERT_FALSE(t["egress"].empty()) << t.dump();
        for (const auto &e : t["egress"]) {
            std::string line = "egress " + std::to_string(e["port"].get<int>()) + ": leaves as " +
                               e["kind"].get<std::string>() + ",";
            bool found = false;
            for (const auto &l : t["stages"])
                found = found || l.get<std::string>().starts_with(line);
            EXPECT_TRUE(found) << line << " not in " << t["stages"].dump();
            kinds.push_back(e["kind"]);
        }
    }
    EXPECT_EQ(kinds.front(), "lbg");
    EXPECT_EQ(kinds.back(), "flood");
}

}  // namespace

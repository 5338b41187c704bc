// Golden files: testdata/*.golden hold commands ("$ kelfctl ...") each
// followed by what kelfctl prints (stderr lines marked "! ", a non-zero
// exit status as "[exit N]"). The commands of a file run in order against
// one fake daemon. KELFCTL_UPDATE_GOLDEN=1 rewrites the files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "batch.h"
#include "objects.h"
#include "testing/fake_daemon.h"

namespace kelfctl::test {
namespace {

struct Block {
    std::string command;  // the words after "$ kelfctl "
    std::string expected;
};

const std::string kPrompt = "$ kelfctl ";

std::vector<Block> read_golden(const std::string &path) {
    std::ifstream f(path);
    std::vector<Block> blocks;
    for (std::string line; std::getline(f, line);) {
        if (line.rfind(kPrompt, 0) == 0)
            blocks.push_back({line.substr(kPrompt.size()), ""});
        else if (!blocks.empty())
            blocks.back().expected += line + "\n";
    }
    return blocks;
}

std::string render(const Outcome &r) {
    std::string s = r.out;
    std::size_t pos = 0;
    while (pos < r.err.size()) {
        std::size_t nl = r.err.find('\n', pos);
        s += "! " + r.err.substr(pos, nl - pos) + "\n";
        pos = nl == std::string::npos ? r.err.size() : nl + 1;
    }
    if (r.status != 0) s += "[exit " + std::to_string(r.status) + "]\n";
    return s;
}

void check_golden(const std::string &name, FakeDaemon &d) {
    std::string path = std::string(KELFCTL_TESTDATA) + "/" + name;
    std::vector<Block> blocks = read_golden(path);
    ASSERT_FALSE(blocks.empty()) << path;
    bool update = std::getenv("KELFCTL_UPDATE_GOLDEN") != nullptr;
    std::string rewritten;
    for (const Block &b : blocks) {
        std::string got = render(run(d, split_line(b.command)));
        rewritten += kPrompt + b.command + "\n" + got;
        if (!update) {
            EXPECT_EQ(got, b.expected) << "$ kelfctl " << b.command;
        }
    }
    if (update) std::ofstream(path) << rewritten;
}

Bytes record(const void *p, std::size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    return Bytes(b, b + n);
}

TEST(Golden, HelpTexts) {
    FakeDaemon d;
    check_golden("help.golden", d);
    EXPECT_TRUE(d.requests.empty()) << "help never talks to kelfd";
}

// A daemon with something to show for every listing.
void populate(FakeDaemon &d) {
    d.answer[KEL_LBG_QUERY_LIST] = [](const Bytes &) {
        kel_lbg_query_list_t q{};
        q.kel_lbg_list.lbg_num = 3;
        q.kel_lbg_list.lbg_list[0] = 1;
        q.kel_lbg_list.lbg_list[1] = 2;
        q.kel_lbg_list.lbg_list[2] = 4;
        return record(&q, sizeof q);
    };
    d.answer[KEL_MIR_QUERY_LIST] = [](const Bytes &) {
        kel_lbg_query_list_t q{};
        q.kel_lbg_list.lbg_num = 2;
        q.kel_lbg_list.lbg_list[0] = 10;
        q.kel_lbg_list.lbg_list[1] = 20;
        return record(&q, sizeof q);
    };
    d.answer[KEL_MIR_PORT_QUERY_LIST] = [](const Bytes &req) {
        if_kel_lbg_t l;
        std::memcpy(&l, req.data(), sizeof l);
        kel_lbg_query_list_t q{};
        if (l.lbg == 10) {
            q.kel_lbg_list.lbg_num = 3;
            q.kel_lbg_list.lbg_list[0] = 1;
            q.kel_lbg_list.lbg_list[1] = 2;
            q.kel_lbg_list.lbg_list[2] = 3;
        } else {
            q.ret = -1;
        }
        return record(&q, sizeof q);
    };
    d.answer[KEL_GET_L2_HASH] = [](const Bytes &) {
        kel_l2_hash_t h{};
        for (int i = 0; i < 6; ++i) h.src_mac_mask[i] = h.dst_mac_mask[i] = 0xff;
        h.ether_type_mask = 0xffff;
        h.vlan_id_mask = 0xfff;
        h.vlan_pri = 0xf;
        h.sym_mac = 1;
        return record(&h, sizeof h);
    };
    d.answer[KEL_GET_L3_HASH] = [](const Bytes &) {
        kel_l3_hash_t h{};
        h.src_ip_mask = h.dst_ip_mask = 0xffffffff;
        h.src_port_mask = h.dst_port_mask = 0xffff;
        h.proto_mask = 0xff;
        h.sym_l4_fields = 1;
        return record(&h, sizeof h);
    };
    d.answer[KEL_GET_PRIO_STAT] = [](const Bytes &) {
        kel_stat_t s{};
        for (int i = 0; i < 16; ++i) s.kel_stat_cnt.prio_kelf.cntRxPriorityPkts[i] = 100u * i;
        return record(&s, sizeof s);
    };
    d.answer[KEL_GET_STAT] = [](const Bytes &) {
        kel_stat_t s{};
        s.kel_stat_cnt.kelf.cntRxUcstPkts = 1;
        s.kel_stat_cnt.kelf.cntRxGoodOctets = 264;
        s.kel_stat_cnt.kelf.cntTxUcstPkts = 320;
        s.kel_stat_cnt.kelf.cntStatsDropCountRx = 808;
        return record(&s, sizeof s);
    };
    d.answer[KEL_GET_PORT_STATE] = [](const Bytes &) {
        kel_lbg_query_list_t q{};
        for (int i = 0; i < 6; ++i) q.kel_lbg_list.lbg_list[i] = i + 1;
        return record(&q, sizeof q);
    };
    d.answer[KEL_BP_READ] = [](const Bytes &) {
        kel_query_list_t q{};
        auto *p = reinterpret_cast<unsigned char *>(q.kel_id_list.id_list);
        for (int i = 0; i < 40; ++i) p[i] = static_cast<unsigned char>(i < 8 ? i : 0);
        return record(&q, sizeof q);
    };
    d.answer[KEL_GET_REG] = [](const Bytes &) {
        kel_rule_stat_t r{};
        r.kel_rule_stat_cnt.counter = 0xffffffffu;
        return record(&r, sizeof r);
    };
    d.status[KEL_GET_CFG] = 5;
    d.status[KEL_GET_DEV_NUM] = 1;
    d.status[KEL_GET_SW_REMAIN] = 1;
    d.status[KEL_GET_PORT_LINK] = 1;
    d.status[KEL_GET_PORT_SPEED] = 10000;
    d.status[KEL_GET_PORT_ETH_MODE] = 3;
    d.status[KEL_GET_PORT_PARSER] = 4;
    d.status[KEL_GET_RFRAME_UPDATE] = 0x6;
    d.status[KEL_GET_TTL_UPDATE] = 1;
    d.status[KEL_MCG_CREATE] = 3;
    d.status[KEL_MCG_GET_PORT] = 4096;
    d.status[KEL_LBG_ADD] = 2;
    d.status[KEL_READ_PHY] = 0x1234;
    d.status[KEL_GET_GPIO_DIR] = 1;
}

TEST(Golden, Listings) {
    FakeDaemon d;
    populate(d);
    check_golden("listings.golden", d);
}

TEST(Golden, FailuresAndTheirExitStatus) {
    FakeDaemon d;
    populate(d);
    d.status[KEL_SET_CFG] = -1;
    d.status[KEL_SET_L2_HASH] = 5;
    d.status[KEL_SET_DROP] = -1;
    d.answer[KEL_GET_L3_HASH] = [](const Bytes &) { return status_reply(-1); };
    check_golden("failures.golden", d);
}

TEST(Golden, AnUnreachableDaemonIsExitThreeWithItsPath) {
    FakeDaemon d;
    d.unreachable = true;
    for (const char *cmd : {"rule list", "config", "raw 1"}) {
        Outcome r = run(d, split_line(cmd));
        EXPECT_EQ(r.status, 3) << cmd;
        EXPECT_NE(r.err.find("/fake"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("may not be running"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("KELF_RUN_DIR"), std::string::npos) << r.err;
    }
}

// The man page and the completion know every object and command.
TEST(Golden, ManPageAndCompletionCoverTheGrammar) {
    auto slurp = [](const char *path) {
        std::ifstream f(path);
        return std::string(std::istreambuf_iterator<char>(f), {});
    };
    std::string man = slurp(KELFCTL_MAN);
    std::string completion = slurp(KELFCTL_COMPLETION);
    ASSERT_FALSE(man.empty());
    ASSERT_FALSE(completion.empty());
    auto roff = [](std::string s) {  // roff writes a minus as \-
        std::string r;
        for (char c : s) r += c == '-' ? std::string("\\-") : std::string(1, c);
        return r;
    };
    for (const Object &o : objects()) {
        EXPECT_NE(man.find(roff(o.name)), std::string::npos) << o.name;
        EXPECT_TRUE(
            std::regex_search(completion, std::regex(std::string("[\" ]") + o.name + "[ \"]")))
            << o.name;
        for (const Command &c : o.commands) {
            EXPECT_NE(man.find(std::string("\\fB") + o.name + " " + roff(c.name)),
                      std::string::npos)
                << o.name << " " << c.name;
            EXPECT_NE(completion.find(c.name), std::string::npos) << o.name << " " << c.name;
        }
    }
}

}  // namespace
}  // namespace kelfctl::test

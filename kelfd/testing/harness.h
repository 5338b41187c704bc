// harness.h - what the daemon's in-process tests share: a fresh daemon on
// fresh simulated switches, requests built in a Dispatcher's buffer as the
// server receives them, and the reply with what the daemon printed.
#pragma once

#include <gtest/gtest.h>
#include <kelfd/kel_lib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "daemon.h"
#include "daemon_modules.h"
#include "dispatch.h"
#include "fmsim.h"

namespace kelftest {

// fmsim with `switches` fresh switches and the daemon's every table as
// before the start-up; `up` counts them all as brought up, as the handlers'
// unit checks expect, without running the (slow) bring-up.
inline void fresh_daemon(int switches, bool up = true) {
    fmsim_set_switches(switches);
    kelf::reset_modules();
    if (up) kel_inserted = switches;
}

// One reply and the lines printed while the request ran.
struct Answer {
    std::vector<unsigned char> reply;
    std::string out;
    // The status word; a marker when the reply is not one.
    std::int32_t status() const {
        std::int32_t v = 0x7eadbeef;
        if (reply.size() == 4) std::memcpy(&v, reply.data(), 4);
        return v;
    }
    // The reply as a record of type T (expects exactly its size).
    template <typename T>
    T as() const {
        T v;
        std::memset(&v, 0x5a, sizeof v);
        EXPECT_EQ(reply.size(), sizeof v);
        if (reply.size() == sizeof v) std::memcpy(&v, reply.data(), sizeof v);
        return v;
    }
    kel_lbg_query_list_t list() const { return as<kel_lbg_query_list_t>(); }
};

// Runs what the buffer holds (the command code included).
inline Answer send(kelf::Dispatcher &d) {
    testing::internal::CaptureStdout();
    kelf::Reply r = d.dispatch();
    Answer a;
    a.out = testing::internal::GetCapturedStdout();
    const auto *p = static_cast<const unsigned char *>(r.data);
    a.reply.assign(p, p + r.size);
    return a;
}

// Runs a whole record, as a client would send it, in a zeroed buffer.
template <typename Record>
Answer send(kelf::Dispatcher &d, const Record &r) {
    static_assert(sizeof r <= KEL_BUF_SIZE);
    d.clear();
    std::memcpy(d.buffer().raw, &r, sizeof r);
    return send(d);
}

// Fresh requests of each layout in the buffer, to fill in before send().
inline if_kel_t &kel_request(kelf::Dispatcher &d, int cmd, int unit = 0) {
    d.clear();
    if_kel_t &r = d.buffer().kel;
    r.kel_cmd = cmd;
    r.unit = unit;
    return r;
}
inline if_kel_lbg_t &lbg_request(kelf::Dispatcher &d, int cmd, int unit = 0) {
    d.clear();
    if_kel_lbg_t &r = d.buffer().lbg;
    r.kel_cmd = cmd;
    r.unit = unit;
    return r;
}

inline void set_list(if_kel_lbg_t &r, const std::vector<int> &ports) {
    r.kel_query_list.kel_lbg_list.lbg_num = static_cast<int>(ports.size());
    for (size_t i = 0; i < ports.size() && i < KEL_LBG_LIST_MAX; ++i)
        r.kel_query_list.kel_lbg_list.lbg_list[i] = ports[i];
}

// The first n entries of a reply list.
inline std::vector<int> entries(const kel_lbg_query_list_t &q, int n) {
    std::vector<int> v;
    for (int i = 0; i < n && i < KEL_LBG_LIST_MAX; ++i) v.push_back(q.kel_lbg_list.lbg_list[i]);
    return v;
}

// "src: message\n", as cleanup prints it.
inline std::string line(const char *src, fm_status st) {
    return std::string(src) + ": " + fmErrorMsg(st) + "\n";
}

// The request fields the device commands read.
struct Fields {
    int unit = 0, port = 0, phy_addr = 0, dev = 0, addr = 0, val = 0;
    std::uint32_t count = 0;  // byte count of a block command
};

// A fixture on a fresh daemon with two switches, requests by their fields.
class DaemonTest : public testing::Test {
protected:
    void SetUp() override { fresh_daemon(2); }

    // A fresh request, to fill in further before run().
    if_kel_t &request(std::uint32_t cmd, const Fields &f = {}) {
        if_kel_t &k = kel_request(d_, static_cast<int>(cmd), f.unit);
        k.port = f.port;
        k.phy_addr = f.phy_addr;
        k.dev = f.dev;
        k.addr = f.addr;
        k.val = f.val;
        k.kel_query_list.kel_id_list.rule_num = f.count;
        return k;
    }
    unsigned char *raw() { return d_.buffer().raw; }
    Answer run() { return send(d_); }
    Answer run(std::uint32_t cmd, const Fields &f = {}) {
        request(cmd, f);
        return run();
    }

    kelf::Dispatcher d_;
};

}  // namespace kelftest

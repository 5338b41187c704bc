// device_test.h - runs device commands through the dispatcher against
// fmsim, as the server would: a zeroed buffer, one request, one reply.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "daemon.h"
#include "dispatch.h"
#include "fmsim.h"

namespace devtest {

// The request fields the device commands read.
struct Fields {
    int unit = 0, port = 0, phy_addr = 0, dev = 0, addr = 0, val = 0;
    std::uint32_t count = 0;  // byte count of a block command
};

struct Answer {
    std::vector<unsigned char> reply;
    std::string out;
    // The status word; a marker when the reply is not 4 bytes.
    std::int32_t status() const {
        std::int32_t v = 0x7eadbeef;
        if (reply.size() == 4) std::memcpy(&v, reply.data(), 4);
        return v;
    }
    template <typename T>
    T as() const {
        T v{};
        EXPECT_EQ(reply.size(), sizeof v);
        if (reply.size() == sizeof v) std::memcpy(&v, reply.data(), sizeof v);
        return v;
    }
};

// "src: message\n", as cleanup prints it.
inline std::string line(const char *src, fm_status st) {
    return std::string(src) + ": " + fmErrorMsg(st) + "\n";
}

class DeviceTest : public testing::Test {
protected:
    void SetUp() override {
        fmsim_set_switches(2);
        kel_inserted = 2;
        sw_remain = TRUE;
    }
    // A fresh request, to fill in further before run().
    if_kel_t &request(std::uint32_t cmd, const Fields &f = {}) {
        d_.clear();
        if_kel_t &k = d_.buffer().kel;
        k.kel_cmd = static_cast<std::int32_t>(cmd);
        k.unit = f.unit;
        k.port = f.port;
        k.phy_addr = f.phy_addr;
        k.dev = f.dev;
        k.addr = f.addr;
        k.val = f.val;
        k.kel_query_list.kel_id_list.rule_num = f.count;
        return k;
    }
    unsigned char *raw() { return d_.buffer().raw; }
    Answer run() {
        testing::internal::CaptureStdout();
        kelf::Reply r = d_.dispatch();
        Answer a{{}, testing::internal::GetCapturedStdout()};
        const auto *p = static_cast<const unsigned char *>(r.data);
        a.reply.assign(p, p + r.size);
        return a;
    }
    Answer run(std::uint32_t cmd, const Fields &f = {}) {
        request(cmd, f);
        return run();
    }

    kelf::Dispatcher d_;
};

}  // namespace devtest

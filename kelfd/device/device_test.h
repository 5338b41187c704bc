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

struct Answer {
    std::vector<unsigned char> reply;
    std::string out;

    // The status word; a marker value when the reply is not 4 bytes.
    std::int32_t status() const {
        std::int32_t v = 0x7eadbeef;
        if (reply.size() == 4) std::memcpy(&v, reply.data(), 4);
        return v;
    }
    template <typename T>
    T as() const {
        T v;
        std::memset(&v, 0, sizeof v);
        EXPECT_EQ(reply.size(), sizeof v);
        if (reply.size() == sizeof v) std::memcpy(&v, reply.data(), sizeof v);
        return v;
    }
};

class DeviceTest : public testing::Test {
protected:
    void SetUp() override {
        fmsim_set_switches(2);
        kel_inserted = 2;
        sw_remain = TRUE;
    }

    // A fresh request of command cmd, to fill in before run().
    if_kel_t &request(std::uint32_t cmd) {
        d_.clear();
        std::memcpy(d_.buffer().raw, &cmd, sizeof cmd);
        return d_.buffer().kel;
    }
    if_kel_lbg_t &lbg_request(std::uint32_t cmd) {
        request(cmd);
        return d_.buffer().lbg;
    }
    // The buffer as the next run() sees it.
    kelf::kel_buf &buffer() { return d_.buffer(); }

    Answer run() {
        testing::internal::CaptureStdout();
        kelf::Reply r = d_.dispatch();
        Answer a;
        a.out = testing::internal::GetCapturedStdout();
        const auto *p = static_cast<const unsigned char *>(r.data);
        a.reply.assign(p, p + r.size);
        return a;
    }

    kelf::Dispatcher d_;
};

}  // namespace devtest
